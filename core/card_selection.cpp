#include "core/card_selection.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace driver {

namespace {

constexpr uint64_t kMaxSerial = 0xFFFFFFFFu;
constexpr int kMaxPrefixBits = 32;
constexpr int kMaxOctet = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsSeparator(char c) { return c == ',' || IsBlank(c); }

// The entries of a list value; a ';' starts a comment that runs to the end.
// Blanks beside a dash part nothing: "5000 - 5099" is one range.
std::vector<std::string> Entries(const char* text) {
    std::vector<std::string> out;
    if (text == nullptr) return out;
    std::string current;
    for (const char* p = text;; ++p) {
        if (IsBlank(*p) && !current.empty()) {
            const char* next = p;
            while (IsBlank(*next)) ++next;
            if (current.back() == '-' || *next == '-') {
                p = next - 1;
                continue;
            }
        }
        if (*p == '\0' || *p == ';' || IsSeparator(*p)) {
            if (!current.empty()) out.push_back(current);
            current.clear();
            if (*p == '\0' || *p == ';') break;
            continue;
        }
        current += *p;
    }
    return out;
}

// Decimal digits only, up to max; false for anything else.
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > max) return false;
    }
    *out = value;
    return true;
}

// Four octets in memory order a, b, c, d is the address in network byte
// order on every machine.
uint32_t FromOctets(const uint8_t octets[4]) {
    uint32_t v;
    memcpy(&v, octets, sizeof v);
    return v;
}

bool ParseDotted(const std::string& text, uint32_t* out) {
    uint8_t octets[4];
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = i < 3 ? text.find('.', start) : text.size();
        if (dot == std::string::npos) return false;
        uint64_t v;
        std::string part = text.substr(start, dot - start);
        if (part.size() > 3 || !ParseDecimal(part, kMaxOctet, &v)) return false;
        octets[i] = static_cast<uint8_t>(v);
        start = dot + 1;
    }
    *out = FromOctets(octets);
    return true;
}

uint32_t MaskOfBits(int bits) {
    uint32_t host = bits == 0 ? 0 : 0xFFFFFFFFu << (kMaxPrefixBits - bits);
    uint8_t octets[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                         static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
    return FromOctets(octets);
}

int BitsOfMask(uint32_t mask) {
    int bits = 0;
    for (uint32_t m = mask; m != 0; m &= m - 1) ++bits;
    return bits;
}

void AppendEntry(std::string* list, const std::string& entry) {
    if (!list->empty()) *list += ", ";
    *list += entry;
}

}  // namespace

bool ParseSerialRange(const std::string& text, SerialRange* out) {
    size_t dash = text.find('-');
    uint64_t first, last;
    if (dash == std::string::npos) {
        if (!ParseDecimal(text, kMaxSerial, &first)) return false;
        last = first;
    } else if (!ParseDecimal(text.substr(0, dash), kMaxSerial, &first) ||
               !ParseDecimal(text.substr(dash + 1), kMaxSerial, &last) || last < first) {
        return false;  // a reversed range is more likely a typo than a wish
    }
    out->first = static_cast<uint32_t>(first);
    out->last = static_cast<uint32_t>(last);
    return true;
}

bool ParseAdapterPrefix(const std::string& text, AdapterPrefix* out) {
    size_t slash = text.find('/');
    uint32_t address;
    uint64_t bits = kMaxPrefixBits;
    if (!ParseDotted(text.substr(0, slash), &address)) return false;
    if (slash != std::string::npos && !ParseDecimal(text.substr(slash + 1), kMaxPrefixBits, &bits)) return false;
    out->mask = MaskOfBits(static_cast<int>(bits));
    out->network = address & out->mask;  // "10.1.2.3/24" means the adapter's network
    return true;
}

ListReport CardSelection::ParseCards(const char* text) {
    ListReport report;
    rangeCount_ = 0;
    for (const std::string& e : Entries(text)) {
        SerialRange r;
        if (!ParseSerialRange(e, &r)) {
            AppendEntry(&report.rejected, e);
        } else if (rangeCount_ == ranges_.size()) {
            ++report.overflow;
        } else {
            ranges_[rangeCount_++] = r;
        }
    }
    report.kept = static_cast<int>(rangeCount_);
    return report;
}

ListReport CardSelection::ParseAdapters(const char* text) {
    ListReport report;
    prefixCount_ = 0;
    for (const std::string& e : Entries(text)) {
        AdapterPrefix p;
        if (!ParseAdapterPrefix(e, &p)) {
            AppendEntry(&report.rejected, e);
        } else if (prefixCount_ == prefixes_.size()) {
            ++report.overflow;
        } else {
            prefixes_[prefixCount_++] = p;
        }
    }
    report.kept = static_cast<int>(prefixCount_);
    return report;
}

bool CardSelection::AllowsSerial(uint32_t serial) const {
    if (rangeCount_ == 0) return true;
    for (size_t i = 0; i < rangeCount_; ++i)
        if (serial >= ranges_[i].first && serial <= ranges_[i].last) return true;
    return false;
}

bool CardSelection::AllowsAdapter(uint32_t address) const {
    if (prefixCount_ == 0) return true;
    for (size_t i = 0; i < prefixCount_; ++i)
        if ((address & prefixes_[i].mask) == prefixes_[i].network) return true;
    return false;
}

std::string CardSelection::CardsText() const {
    if (rangeCount_ == 0) return "any";
    std::string text;
    char entry[32];
    for (size_t i = 0; i < rangeCount_; ++i) {
        const SerialRange& r = ranges_[i];
        if (r.first == r.last) snprintf(entry, sizeof entry, "%u", r.first);
        else snprintf(entry, sizeof entry, "%u-%u", r.first, r.last);
        AppendEntry(&text, entry);
    }
    return text;
}

std::string CardSelection::AdaptersText() const {
    if (prefixCount_ == 0) return "any";
    std::string text;
    char entry[32];
    for (size_t i = 0; i < prefixCount_; ++i) {
        uint8_t o[4];
        memcpy(o, &prefixes_[i].network, sizeof o);
        snprintf(entry, sizeof entry, "%u.%u.%u.%u/%d", o[0], o[1], o[2], o[3], BitsOfMask(prefixes_[i].mask));
        AppendEntry(&text, entry);
    }
    return text;
}

}  // namespace driver
