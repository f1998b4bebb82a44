// Helpers for the Windows test programs: fresh folders under the temporary
// folder, whole-file reads and writes, and waits with a deadline.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>

namespace wintest {

// A new, empty folder under %TEMP% whose name starts with tag.
inline std::string FreshFolder(const char* tag) {
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    std::string base = (n > 0 && n < sizeof temp) ? std::string(temp) : std::string(".\\");
    static unsigned counter = 0;
    for (;;) {
        char name[64];
        snprintf(name, sizeof name, "vaxo-%s-%lu-%u", tag, static_cast<unsigned long>(GetCurrentProcessId()),
                 ++counter);
        std::string dir = base + name;
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return base + ".";
    }
}

inline bool WriteFileText(const std::string& path, const std::string& text) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(h);
    return ok && n == text.size();
}

// Whole file, read while others may still write it; "" when missing.
inline std::string ReadFileText(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0) text.append(chunk, n);
    CloseHandle(h);
    return text;
}

// Polls pred every 10 ms until it holds or timeoutMs have passed.
template <typename Pred>
bool WaitUntil(Pred pred, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (pred()) return true;
        if (GetTickCount() - start >= timeoutMs) return pred();
        Sleep(10);
    }
}

// Number of times needle occurs in text.
inline int CountOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
    return n;
}

}  // namespace wintest
