// A-law WAV files (format tag 6, mono, 8000 Hz) for recordings a person can
// play, and reading them back for prompts and tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace hostapi {

bool WriteAlawWav(const std::string& path, const uint8_t* data, size_t size);
// Reads the data chunk of an A-law WAV file, or a raw .alaw file as it is.
bool ReadAlawFile(const std::string& path, std::vector<uint8_t>* out);

}  // namespace hostapi
