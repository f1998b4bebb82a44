// Feeds arbitrary bytes to the INI reader as a configuration file and reads
// every key the driver reads, through the same calls; the card and adapter
// lists also get the whole input as their value.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "core/config.h"
#include "core/paths.h"
#include "platform/ini.h"

namespace {

char g_iniPath[64];

void RemoveIni() { unlink(g_iniPath); }

// One temporary file for the whole run, removed at exit.
const char* IniPath() {
    if (g_iniPath[0] == '\0') {
        snprintf(g_iniPath, sizeof g_iniPath, "/tmp/vaxo-ini-fuzz-XXXXXX");
        int fd = mkstemp(g_iniPath);
        if (fd >= 0) close(fd);
        atexit(RemoveIni);
    }
    return g_iniPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = IniPath();
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 0) fwrite(data, 1, size, f);
    fclose(f);

    snprintf(driver::g_paths.ini, sizeof driver::g_paths.ini, "%s", path.c_str());
    driver::ResetConfiguration();
    driver::ReadConfiguration();
    driver::TrunkConfig t = driver::ReadTrunkConfig(123456, 2);
    (void)t;
    (void)driver::ReadCardPrimeEchoBuffers(123456);

    // Section and key names taken from the input itself.
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string section = text.substr(0, text.size() / 3);
    std::string key = text.substr(text.size() / 3, text.size() / 3);
    char buf[100];
    plat::IniReadString(section.c_str(), key.c_str(), "d", buf, sizeof buf, path.c_str());
    plat::IniReadString(section.c_str(), key.c_str(), nullptr, buf, 1, path.c_str());
    (void)plat::IniReadInt(section.c_str(), key.c_str(), 5, path.c_str());

    // The whole input as a Cards= and an Adapters= value.
    driver::CardSelection selection;
    selection.ParseCards(text.c_str());
    selection.ParseAdapters(text.c_str());
    (void)selection.AllowsSerial(4711);
    (void)selection.AllowsAdapter(0x0100000A);
    (void)selection.CardsText();
    (void)selection.AdaptersText();
    return 0;
}
