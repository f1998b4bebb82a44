// A file opened for appending while other processes may read, write or
// delete it. Used by one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plat {

class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating when missing, keeping contents) positioned at the end.
    bool Open(const char* path);
    // Bytes written, or -1 on failure.
    int64_t Write(const void* data, size_t size);
    void Close();
    bool IsOpen() const { return handle_ != kClosed; }

private:
    static constexpr intptr_t kClosed = -1;
    intptr_t handle_ = kClosed;
};

}  // namespace plat
