#include "platform/shared_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace plat {

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const char* path) {
    Close();
    if (path == nullptr) return false;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

int64_t AppendFile::Write(const void* data, size_t size) {
    if (handle_ == kClosed) return -1;
    ssize_t n = write(static_cast<int>(handle_), data, size);
    return n < 0 ? -1 : static_cast<int64_t>(n);
}

void AppendFile::Close() {
    if (handle_ != kClosed) {
        close(static_cast<int>(handle_));
        handle_ = kClosed;
    }
}

}  // namespace plat
