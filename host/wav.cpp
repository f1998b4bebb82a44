#include "host/wav.h"

#include <cstdio>
#include <cstring>

namespace hostapi {

namespace {

void Put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((v >> (8 * i)) & 0xFF);
}
uint32_t Get32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

constexpr uint16_t kWaveFormatAlaw = 6;
constexpr uint32_t kSampleRate = 8000;

}  // namespace

bool WriteAlawWav(const std::string& path, const uint8_t* data, size_t size) {
    std::vector<uint8_t> h;
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    Put32(h, static_cast<uint32_t>(4 + 26 + 8 + size + (size & 1)));
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(h, 18);
    Put16(h, kWaveFormatAlaw);
    Put16(h, 1);
    Put32(h, kSampleRate);
    Put32(h, kSampleRate);
    Put16(h, 1);
    Put16(h, 8);
    Put16(h, 0);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    Put32(h, static_cast<uint32_t>(size));
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(h.data(), 1, h.size(), f) == h.size();
    if (size != 0) ok = ok && fwrite(data, 1, size, f) == size;
    if (size & 1) ok = ok && fputc(0, f) != EOF;
    return fclose(f) == 0 && ok;
}

bool ReadAlawFile(const std::string& path, std::vector<uint8_t>* out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<uint8_t> all;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) all.insert(all.end(), chunk, chunk + n);
    fclose(f);
    if (all.size() < 12 || memcmp(all.data(), "RIFF", 4) != 0 || memcmp(all.data() + 8, "WAVE", 4) != 0) {
        *out = all;
        return true;
    }
    size_t pos = 12;
    while (pos + 8 <= all.size()) {
        uint32_t len = Get32(&all[pos + 4]);
        if (memcmp(&all[pos], "data", 4) == 0) {
            size_t end = pos + 8 + len > all.size() ? all.size() : pos + 8 + len;
            out->assign(all.begin() + pos + 8, all.begin() + end);
            return true;
        }
        pos += 8 + len + (len & 1);
    }
    return false;
}

}  // namespace hostapi
