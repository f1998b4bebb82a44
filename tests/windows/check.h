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

inline std::vector<Case>& Registry() {
    static std::vector<Case> cases;
    return cases;
}

struct Registrar {
    Registrar(const char* name, void (*fn)()) { Registry().push_back(Case{name, fn}); }
};

struct Abort {};  // thrown by REQUIRE and SKIP to leave the case

inline int g_failures = 0;  // of the running case
inline std::string g_skipReason;

inline void Fail(const char* file, int line, const std::string& what) {
    ++g_failures;
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

inline void CheckStrEq(const char* a, const char* b, const char* expr, const char* file, int line) {
    auto quote = [](const char* s) { return s == nullptr ? std::string("(null)") : "\"" + std::string(s) + "\""; };
    if (a == nullptr || b == nullptr || std::strcmp(a, b) != 0)
        Fail(file, line, std::string(expr) + " failed: " + quote(a) + " vs " + quote(b));
}

template <typename A, typename B>
void CheckEq(const A& a, const B& b, const char* expr, const char* file, int line) {
    if (!(a == b))
        Fail(file, line, std::string(expr) + " failed: " + std::to_string(static_cast<long long>(a)) + " vs " +
                             std::to_string(static_cast<long long>(b)));
}

[[noreturn]] inline void FailNow(const char* file, int line, const std::string& what) {
    Fail(file, line, what);
    throw Abort();
}

[[noreturn]] inline void Skip(const std::string& why) {
    g_skipReason = why;
    throw Abort();
}

// Runs every case whose name contains filter (all when null).
inline int RunAll(const char* program, const char* filter) {
    int passed = 0, failed = 0, skipped = 0;
    for (const Case& c : Registry()) {
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
        const bool failure = g_failures != 0, skip = !failure && !g_skipReason.empty();
        ++(failure ? failed : skip ? skipped : passed);
        std::printf("%s %s%s%s\n", failure ? "[ FAIL ]" : skip ? "[ SKIP ]" : "[  OK  ]", c.name, skip ? ": " : "",
                    skip ? g_skipReason.c_str() : "");
        std::fflush(stdout);
    }
    std::printf("%s: %d passed, %d failed, %d skipped\n", program, passed, failed, skipped);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

}  // namespace wintest

#define WT_CAT2(a, b) a##b
#define WT_CAT(a, b) WT_CAT2(a, b)

#define TEST_CASE(name)                                                                       \
    static void WT_CAT(wt_case_, __LINE__)();                                                 \
    static ::wintest::Registrar WT_CAT(wt_reg_, __LINE__)(name, &WT_CAT(wt_case_, __LINE__)); \
    static void WT_CAT(wt_case_, __LINE__)()

#define CHECK(cond) ((cond) ? (void)0 : ::wintest::Fail(__FILE__, __LINE__, "CHECK(" #cond ") failed"))
#define CHECK_EQ(a, b) ::wintest::CheckEq((a), (b), "CHECK_EQ(" #a ", " #b ")", __FILE__, __LINE__)
// One call, so that temporaries behind a or b live until the comparison.
#define CHECK_STREQ(a, b) ::wintest::CheckStrEq((a), (b), "CHECK_STREQ(" #a ", " #b ")", __FILE__, __LINE__)
#define FAIL_NOW(msg) ::wintest::FailNow(__FILE__, __LINE__, (msg))
#define REQUIRE(cond) ((cond) ? (void)0 : FAIL_NOW("REQUIRE(" #cond ") failed"))
#define SKIP(msg) ::wintest::Skip(msg)

#define WINTEST_MAIN(program) \
    int main(int argc, char** argv) { return ::wintest::RunAll(program, argc > 1 ? argv[1] : nullptr); }
