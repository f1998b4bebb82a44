#include "core/config.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "core/paths.h"
#include "core/trace.h"
#include "platform/ini.h"

namespace driver {

Config g_config;

namespace {

constexpr size_t kTextValueChars = 100;
// Room for a Cards= or Adapters= list (a few hundred entries).
constexpr size_t kListValueChars = 4096;

int ReadInt(const char* section, const char* key, int def) {
    return plat::IniReadInt(section, key, def, g_paths.ini);
}

// A text that does not convert leaves the value as it was; so do "nan" and
// "inf", which would turn a threshold comparison off for good.
void ReadFloat(const char* key, const char* def, float* value) {
    char text[kTextValueChars] = {0};
    plat::IniReadString("Dtmf", key, def, text, sizeof text, g_paths.ini);
    float parsed;
    if (sscanf(text, "%f", &parsed) == 1 && std::isfinite(parsed)) *value = parsed;
}

// Reads one list key of [General] and reports what could not be used. A
// value with nothing readable in it leaves the list empty: a typo never
// turns into "no card".
void ReadList(const char* key, ListReport (CardSelection::*parse)(const char*), const char* what) {
    std::vector<char> text(kListValueChars, '\0');
    size_t n = plat::IniReadString("General", key, "", text.data(), text.size(), g_paths.ini);
    if (n + 1 >= text.size()) {
        // Cut by the buffer: the last entry may be a fragment, so it goes.
        size_t cut = n;
        while (cut > 0 && text[cut - 1] != ',' && text[cut - 1] != ' ' && text[cut - 1] != '\t') --cut;
        text[cut] = '\0';
        VAXO_TRACE(2, kGeneralPort, "INI [General] %s= is longer than %u characters; the rest is ignored", key,
                   static_cast<unsigned>(kListValueChars - 1));
    }
    ListReport r = (g_config.selection.*parse)(text.data());
    if (!r.rejected.empty())
        VAXO_TRACE(2, kGeneralPort, "INI [General] %s=: not %s, ignored: %s", key, what, r.rejected.c_str());
    if (r.overflow > 0)
        VAXO_TRACE(2, kGeneralPort, "INI [General] %s=: more than %d entries; %d more ignored", key, r.kept,
                   r.overflow);
    if (r.kept == 0 && !r.rejected.empty())
        VAXO_TRACE(2, kGeneralPort, "INI [General] %s= has no usable entry; the key is ignored (no limit)", key);
}

void TrunkSection(uint32_t serial, uint32_t trunkNumber, char* out, size_t size) {
    snprintf(out, size, "%u-%u", serial, trunkNumber);
}

}  // namespace

void ResetConfiguration() {
    g_config = Config();
    g_traceLevel = 2;
}

void ReadConfiguration() {
    g_traceLevel = ReadInt("Debug", "Level", 2);
    g_config.flushImmediate = ReadInt("Debug", "FlushImmediate", 0) != 0;
    g_config.audioBuffers = ReadInt("General", "AudioBuffers", 16);
    g_config.hangupOnAlerting = ReadInt("General", "HangupOnAlerting", 0) != 0;
    g_config.numberType = ReadInt("General", "NumberType", 33);
    g_config.clientType = ReadInt("General", "ClientType", 2);
    g_config.switchType = ReadInt("General", "SwitchType", 5);
    g_config.echoCanceller = ReadInt("General", "EchoCanceller", 0) != 0;
    g_config.echoTailMs = ReadInt("General", "EchoTail", 32);
    g_config.hdlcLog = ReadInt("General", "HdlcLog", 0) != 0 ? 1 : 0;
    g_config.crc4 = ReadInt("General", "Crc4", 0);
    g_config.primeEchoBuffers = ReadInt("General", "PrimeECBuffers", 0);
    ReadList("Cards", &CardSelection::ParseCards, "a card serial number or range");
    ReadList("Adapters", &CardSelection::ParseAdapters, "an IPv4 address or prefix");
    DtmfThresholds& d = g_config.dtmf;
    d.normalTwist = 7.0f;  // the one threshold that falls back to its default
    ReadFloat("NormalTwist", "7.0", &d.normalTwist);
    ReadFloat("ReverseTwist", "7.0", &d.reverseTwist);
    ReadFloat("RowPeak", "6.3", &d.rowPeak);
    ReadFloat("ColPeak", "6.3", &d.colPeak);
    ReadFloat("TotalEnergy", "40.0", &d.totalEnergy);
}

int32_t MapSwitchType(int32_t value) {
    if (value == 1000) return 5;
    if (value == 1001) return 10;
    return value;
}

int32_t ReadTrunkCrc4(uint32_t serial, uint32_t trunkNumber) {
    char section[32];
    TrunkSection(serial, trunkNumber, section, sizeof section);
    return ReadInt(section, "Crc4", g_config.crc4);
}

TrunkConfig ReadTrunkConfig(uint32_t serial, uint32_t trunkNumber) {
    char section[32];
    TrunkSection(serial, trunkNumber, section, sizeof section);
    TrunkConfig t;
    t.crc4 = ReadInt(section, "Crc4", g_config.crc4);
    t.hdlcLog = ReadInt(section, "HdlcLog", g_config.hdlcLog) != 0;
    t.hangupOnAlerting = ReadInt(section, "HangupOnAlerting", g_config.hangupOnAlerting ? 1 : 0) != 0;
    t.numberType = ReadInt(section, "NumberType", g_config.numberType);
    t.clientType = ReadInt(section, "ClientType", g_config.clientType);
    t.switchType = MapSwitchType(ReadInt(section, "SwitchType", g_config.switchType));
    t.echoTailMs = ReadInt(section, "EchoTail", g_config.echoTailMs);
    t.echoCanceller = ReadInt(section, "EchoCanceller", g_config.echoCanceller ? 1 : 0) != 0;
    return t;
}

int32_t ReadCardPrimeEchoBuffers(uint32_t serial) {
    char section[16];
    snprintf(section, sizeof section, "%u", serial);
    return ReadInt(section, "PrimeECBuffers", g_config.primeEchoBuffers);
}

}  // namespace driver
