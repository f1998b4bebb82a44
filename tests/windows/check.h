// A very small test harness for the Windows test programs (run under wine
// by scripts/test-windows): named cases, CHECK macros that record a failure
// and go on, REQUIRE macros that end the case, and a closing line
// "program: N passed, M failed, K skipped".
#pragma once
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace wintest {

struct Case {
    const char* name;
    void (*fn)();
};
inline std::vector<Case> g_cases;
struct Registrar {
    Registrar(const char* name, void (*fn)()) { g_cases.push_back(Case{name, fn}); }
};
struct Abort {};  // thrown by REQUIRE and SKIP to leave the case

inline int g_failures = 0;  // of the running case
inline std::string g_skipReason;

inline void Fail(const char* file, int line, const std::string& what) {
    ++g_failures;
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}
[[noreturn]] inline void FailNow(const char* file, int line, const std::string& what) {
    Fail(file, line, what);
    throw Abort();
}
[[noreturn]] inline void Skip(const std::string& why) {
    g_skipReason = why;
    throw Abort();
}
inline std::string Show(const char* s) { return s == nullptr ? "(null)" : "\"" + std::string(s) + "\""; }
template <typename T>
std::string Show(const T& v) { return std::to_string(static_cast<long long>(v)); }

inline int ListAll() {
    for (const Case& c : g_cases) std::printf("%s\n", c.name);
    std::fflush(stdout);
    return 0;
}

// Runs every case whose name contains filter (all when null).
inline int RunAll(const char* program, const char* filter) {
    int counts[3] = {0, 0, 0};  // passed, failed, skipped
    for (const Case& c : g_cases) {
        if (filter != nullptr && std::strstr(c.name, filter) == nullptr) continue;
        g_failures = 0;
        g_skipReason.clear();
        std::printf("[ RUN  ] %s\n", c.name);
        std::fflush(stdout);
        try {
            c.fn();
        } catch (const Abort&) {
        } catch (...) {
            Fail(__FILE__, __LINE__, "unexpected exception");
        }
        const int result = g_failures != 0 ? 1 : g_skipReason.empty() ? 0 : 2;
        ++counts[result];
        const char* tags[] = {"[  OK  ]", "[ FAIL ]", "[ SKIP ]"};
        std::printf("%s %s%s%s\n", tags[result], c.name, result == 2 ? ": " : "", result == 2 ? g_skipReason.c_str() : "");
    }
    std::printf("%s: %d passed, %d failed, %d skipped\n", program, counts[0], counts[1], counts[2]);
    std::fflush(stdout);
    return counts[1] == 0 ? 0 : 1;
}

}  // namespace wintest

#define WT_CAT2(a, b) a##b
#define WT_CAT(a, b) WT_CAT2(a, b)
#define TEST_CASE(name)                                                                       \
    static void WT_CAT(wt_case_, __LINE__)();                                                 \
    static ::wintest::Registrar WT_CAT(wt_reg_, __LINE__)(name, &WT_CAT(wt_case_, __LINE__)); \
    static void WT_CAT(wt_case_, __LINE__)()

#define CHECK(cond) ((cond) ? (void)0 : ::wintest::Fail(__FILE__, __LINE__, "CHECK(" #cond ") failed"))
// One expression, so that temporaries behind a or b live until the comparison.
#define CHECK_EQ(a, b)                                                                                         \
    [&](const auto& x, const auto& y) {                                                                        \
        if (!(x == y)) ::wintest::Fail(__FILE__, __LINE__, "CHECK_EQ(" #a ", " #b ") failed: " + ::wintest::Show(x) + " vs " + ::wintest::Show(y)); \
    }((a), (b))
#define CHECK_STREQ(a, b)                                                                                      \
    [&](const char* x, const char* y) {                                                                        \
        if (x == nullptr || y == nullptr || std::strcmp(x, y) != 0)                                            \
            ::wintest::Fail(__FILE__, __LINE__, "CHECK_STREQ(" #a ", " #b ") failed: " + ::wintest::Show(x) + " vs " + ::wintest::Show(y)); \
    }((a), (b))
#define FAIL_NOW(msg) ::wintest::FailNow(__FILE__, __LINE__, (msg))
#define REQUIRE(cond) ((cond) ? (void)0 : FAIL_NOW("REQUIRE(" #cond ") failed"))
#define SKIP(msg) ::wintest::Skip(msg)
// "--list" prints the case names, one per line, so that a script can run
// each case in a process of its own.
#define WINTEST_MAIN(program)                                                              \
    int main(int argc, char** argv) {                                                      \
        if (argc > 1 && std::strcmp(argv[1], "--list") == 0) return ::wintest::ListAll(); \
        return ::wintest::RunAll(program, argc > 1 ? argv[1] : nullptr);                  \
    }
