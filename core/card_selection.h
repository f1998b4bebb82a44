// Which cards and adapters one loaded module drives, from [General] Cards=
// and Adapters=, so that several modules (in one host or on several hosts)
// can share one card LAN. Parsed on the host's thread inside Init; read-only
// for every thread afterwards. No OS services.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace driver {

// Room for the entries of one list; entries past it are reported and left
// out (a range covers any number of serials).
constexpr size_t kMaxSerialRanges = 256;
constexpr size_t kMaxAdapterPrefixes = 64;

struct SerialRange {
    uint32_t first;
    uint32_t last;  // inclusive, first <= last
};

struct AdapterPrefix {
    uint32_t network;  // network byte order, host bits cleared
    uint32_t mask;     // network byte order
};

// What one list value gave: the number of entries kept and the texts of
// those that could not be read (or did not fit), for the trace line.
struct ListReport {
    int kept = 0;
    std::string rejected;  // entries as written, ", " between them
    int overflow = 0;      // readable entries past the room of the list
};

// The selection of one module: filled by Init on the host's thread, then
// read by discovery and the card listener thread. An empty list (key
// absent, empty or with nothing readable in it) selects everything.
class CardSelection {
public:
    // Cards=: serials and ranges "a-b" (decimal, unsigned 32-bit), separated
    // by commas or blanks. Replaces the serial list.
    ListReport ParseCards(const char* text);
    // Adapters=: dotted IPv4 addresses or CIDR prefixes "a.b.c.d/n",
    // separated by commas or blanks. Replaces the prefix list.
    ListReport ParseAdapters(const char* text);

    bool LimitsCards() const { return rangeCount_ > 0; }
    bool LimitsAdapters() const { return prefixCount_ > 0; }
    bool AllowsSerial(uint32_t serial) const;
    bool AllowsAdapter(uint32_t address) const;  // network byte order

    // The lists as they are used, for the start-up line ("any" when empty).
    std::string CardsText() const;
    std::string AdaptersText() const;

private:
    std::array<SerialRange, kMaxSerialRanges> ranges_{};
    size_t rangeCount_ = 0;
    std::array<AdapterPrefix, kMaxAdapterPrefixes> prefixes_{};
    size_t prefixCount_ = 0;
};

// Single-entry readers, exposed for tests: false when the text is not one
// serial or range / one address or prefix.
bool ParseSerialRange(const std::string& text, SerialRange* out);
bool ParseAdapterPrefix(const std::string& text, AdapterPrefix* out);

}  // namespace driver
