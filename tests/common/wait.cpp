#include "common/wait.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int pollMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(pollMs)))
        if (std::chrono::steady_clock::now() >= deadline) return pred();
    return true;
}

TempDir::TempDir() : path_((std::filesystem::temp_directory_path() / "vaxo-test-XXXXXX").string()) {
    if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

}  // namespace testsupport
