#include "platform/ini.h"
#include "platform/ini_number.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

namespace plat {

namespace {

constexpr long kMaxIniBytes = 4L * 1024 * 1024;  // larger files are not configuration

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Whole names compared without regard to case; a name with a NUL byte in
// it matches nothing.
bool SameName(const std::string& name, const char* wanted) {
    return name.size() == strlen(wanted) && strcasecmp(name.c_str(), wanted) == 0;
}

// Finds section/key in the file; true with the trimmed value when present.
bool Lookup(const char* section, const char* key, const char* path, std::string* value) {
    if (section == nullptr || key == nullptr || path == nullptr) return false;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return false;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0 && static_cast<long>(text.size()) < kMaxIniBytes)
        text.append(chunk, n);
    fclose(f);

    bool inSection = false;
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // UTF-8 mark of some editors
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) {
                inSection = false;  // a broken header opens no section
                continue;
            }
            std::string name = Trim(line.substr(1, close - 1));
            inSection = SameName(name, section);
            continue;
        }
        if (!inSection) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string name = Trim(line.substr(0, eq));
        if (name.empty() || !SameName(name, key)) continue;
        std::string v = Trim(line.substr(eq + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        *value = v;
        return true;
    }
    return false;
}

}  // namespace

int IniReadInt(const char* section, const char* key, int def, const char* path) {
    std::string v;
    if (!Lookup(section, key, path, &v)) return def;
    int value;
    return ParseIniInt(v.c_str(), &value) ? value : def;  // no number: as if the key were missing
}

size_t IniReadString(const char* section, const char* key, const char* def, char* buf, size_t size,
                     const char* path) {
    if (buf == nullptr || size == 0) return 0;
    std::string v;
    const char* src = Lookup(section, key, path, &v) ? v.c_str() : (def != nullptr ? def : "");
    size_t len = strlen(src);
    if (len > size - 1) len = size - 1;
    memcpy(buf, src, len);
    buf[len] = '\0';
    return len;
}

}  // namespace plat
