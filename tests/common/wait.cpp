#include "common/wait.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace testsupport {

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int pollMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vaxo-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace testsupport
