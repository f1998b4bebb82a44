// Helpers for the Windows test programs: fresh folders under %TEMP%,
// whole-file reads and writes, waits with a deadline, and the adapters of
// the private network scripts/test-windows made.
#pragma once
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

namespace wintest {

// A new, empty folder under %TEMP% whose name starts with tag; one left by
// an earlier run of the same process id is passed over.
inline std::string FreshFolder(const char* tag) {
    char temp[MAX_PATH] = ".\\";
    GetTempPathA(sizeof temp, temp);
    static unsigned counter = 0;
    for (;;) {
        std::string dir = std::string(temp) + "vaxo-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                          std::to_string(++counter);
        if (CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS) return dir;
    }
}

inline void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}
// Whole file, read while others may still write it; "" when missing.
inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Polls pred every 10 ms until it holds or timeoutMs have passed.
template <typename Pred>
bool WaitUntil(Pred pred, DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); !pred(); Sleep(10))
        if (GetTickCount() - start >= timeoutMs) return pred();
    return true;
}

inline int CountOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
    return n;
}

// The "address/mask" items of VAXO_TEST_ADAPTERS, which scripts/test-windows
// sets to what it gave the private network's adapters; empty when unset.
inline std::set<std::string> ExpectedAdapters() {
    std::set<std::string> want;
    std::istringstream list(getenv("VAXO_TEST_ADAPTERS") != nullptr ? getenv("VAXO_TEST_ADAPTERS") : "");
    for (std::string item; std::getline(list, item, ',');)
        if (!item.empty()) want.insert(item);
    return want;
}

}  // namespace wintest
