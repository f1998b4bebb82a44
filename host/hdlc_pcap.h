// Reads the module's D-channel capture files and writes them as pcap files
// of link type LINUX_LAPD, which packet analysers decode as Q.921/Q.931.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace hostapi {

struct CapturedFrame {
    bool outgoing = false;   // 'O': sent by the module to the card
    int64_t unixSeconds = 0; // from the line's local date and time
    std::vector<uint8_t> bytes;  // the frame without its check bytes
};

// Parses one capture line; false when it is not one.
bool ParseCaptureLine(const std::string& line, CapturedFrame* frame);
std::vector<CapturedFrame> ReadCaptureFile(const std::string& path);

// moduleIsNetwork: the module played the network side on that trunk.
bool WritePcap(const std::string& path, const std::vector<CapturedFrame>& frames, bool moduleIsNetwork);

}  // namespace hostapi
