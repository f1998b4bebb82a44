#include "platform/shared_file.h"

#include <windows.h>

namespace plat {

namespace {
HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

// kClosed (-1) is INVALID_HANDLE_VALUE as an integer.

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const char* path) {
    Close();
    if (path == nullptr || path[0] == '\0') return false;
    // Append-only access: every write lands at the current end of the file,
    // also when another process has written to it meanwhile. Others may
    // read, write, rename or delete the file while it is open.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    SetFilePointer(h, 0, nullptr, FILE_END);
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

int64_t AppendFile::Write(const void* data, size_t size) {
    if (handle_ == kClosed) return -1;
    if (size == 0) return 0;
    if (data == nullptr) return -1;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    // WriteFile takes 32-bit sizes; larger texts go in pieces.
    while (done < size) {
        size_t left = size - done;
        DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(H(handle_), p + done, chunk, &written, nullptr)) return done > 0 ? static_cast<int64_t>(done) : -1;
        done += written;
        if (written < chunk) break;
    }
    return static_cast<int64_t>(done);
}

void AppendFile::Close() {
    if (handle_ != kClosed) {
        CloseHandle(H(handle_));
        handle_ = kClosed;
    }
}

}  // namespace plat
