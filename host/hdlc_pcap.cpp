#include "host/hdlc_pcap.h"

#include <cstdio>
#include <ctime>
#include <fstream>

namespace hostapi {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint32_t kLinkTypeLinuxLapd = 177;
constexpr uint16_t kArphrdLapd = 8445;
constexpr uint16_t kEthPLapd = 0x0030;
constexpr uint16_t kSentToUs = 0;
constexpr uint16_t kSentByUs = 4;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void Le32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}
void Le16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}
void Be16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(v >> 8);
    b.push_back(v & 0xFF);
}

}  // namespace

bool ParseCaptureLine(const std::string& line, CapturedFrame* frame) {
    unsigned y, mo, d, h, mi, s;
    char dir;
    int used = 0;
    if (sscanf(line.c_str(), "%c %4u-%2u-%2u %2u:%2u:%2u 0000 %n", &dir, &y, &mo, &d, &h, &mi, &s, &used) != 7 ||
        used == 0 || (dir != 'I' && dir != 'O'))
        return false;
    tm parts{};
    parts.tm_year = static_cast<int>(y) - 1900;
    parts.tm_mon = static_cast<int>(mo) - 1;
    parts.tm_mday = static_cast<int>(d);
    parts.tm_hour = static_cast<int>(h);
    parts.tm_min = static_cast<int>(mi);
    parts.tm_sec = static_cast<int>(s);
    parts.tm_isdst = -1;
    frame->outgoing = dir == 'O';
    frame->unixSeconds = static_cast<int64_t>(mktime(&parts));
    frame->bytes.clear();
    for (size_t i = static_cast<size_t>(used); i + 1 < line.size(); ++i) {
        int hi = HexValue(line[i]), lo = HexValue(line[i + 1]);
        if (hi < 0 || lo < 0) continue;
        frame->bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        ++i;
    }
    return !frame->bytes.empty();
}

std::vector<CapturedFrame> ReadCaptureFile(const std::string& path) {
    std::vector<CapturedFrame> frames;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    CapturedFrame f;
    while (std::getline(in, line))
        if (ParseCaptureLine(line, &f)) frames.push_back(f);
    return frames;
}

bool WritePcap(const std::string& path, const std::vector<CapturedFrame>& frames, bool moduleIsNetwork) {
    std::vector<uint8_t> out;
    Le32(out, kPcapMagic);
    Le16(out, 2);
    Le16(out, 4);
    Le32(out, 0);
    Le32(out, 0);
    Le32(out, 65535);
    Le32(out, kLinkTypeLinuxLapd);
    uint32_t sequence = 0;
    for (const CapturedFrame& f : frames) {
        // Frames of one second keep their order through microsecond steps.
        uint32_t usec = (sequence++ % 1000) * 1000;
        uint32_t len = static_cast<uint32_t>(16 + f.bytes.size());
        Le32(out, static_cast<uint32_t>(f.unixSeconds));
        Le32(out, usec);
        Le32(out, len);
        Le32(out, len);
        Be16(out, f.outgoing ? kSentByUs : kSentToUs);
        Be16(out, kArphrdLapd);
        Be16(out, 1);
        out.push_back(moduleIsNetwork ? 1 : 0);  // address byte 0: we are the network side
        for (int i = 0; i < 7; ++i) out.push_back(0);
        Be16(out, kEthPLapd);
        out.insert(out.end(), f.bytes.begin(), f.bytes.end());
    }
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = fwrite(out.data(), 1, out.size(), file) == out.size();
    return fclose(file) == 0 && ok;
}

}  // namespace hostapi
