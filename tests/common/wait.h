// Deadline helpers for tests: every wait ends, so a fault fails instead of
// hanging.
#pragma once
#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// Polls pred every few milliseconds until it holds or timeoutMs passes.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int pollMs = 2);

// A fresh empty folder under the system's temporary folder, removed by the
// destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace testsupport
