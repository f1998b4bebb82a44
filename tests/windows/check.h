// A very small test harness for the Windows test programs (run under wine
// by scripts/test-windows): named test functions, CHECK macros that record
// a failure and go on, REQUIRE macros that end the test, and a closing line
// "N passed, M failed" per program.
#pragma once
#include <cstdio>
#include <cstring>
#include <functional>
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

struct Abort {};  // thrown by REQUIRE to leave the test

inline int& FailuresInCase() {
    static int n = 0;
    return n;
}

inline std::string& SkipReason() {
    static std::string why;
    return why;
}

inline void Fail(const char* file, int line, const std::string& what) {
    ++FailuresInCase();
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

inline std::string Quote(const char* s) { return s == nullptr ? std::string("(null)") : "\"" + std::string(s) + "\""; }

inline void CheckStrEq(const char* a, const char* b, const char* expr, const char* file, int line) {
    if (a == nullptr || b == nullptr || std::strcmp(a, b) != 0)
        Fail(file, line, std::string(expr) + " failed: " + Quote(a) + " vs " + Quote(b));
}

// Runs every registered test whose name contains filter (all when null).
inline int RunAll(const char* program, const char* filter) {
    int passed = 0, failed = 0, skipped = 0;
    for (const Case& c : Registry()) {
        if (filter != nullptr && std::strstr(c.name, filter) == nullptr) continue;
        FailuresInCase() = 0;
        SkipReason().clear();
        std::printf("[ RUN  ] %s\n", c.name);
        std::fflush(stdout);
        try {
            c.fn();
        } catch (const Abort&) {
        } catch (...) {
            Fail(__FILE__, __LINE__, "unexpected exception");
        }
        if (FailuresInCase() != 0) {
            ++failed;
            std::printf("[ FAIL ] %s\n", c.name);
        } else if (!SkipReason().empty()) {
            ++skipped;
            std::printf("[ SKIP ] %s: %s\n", c.name, SkipReason().c_str());
        } else {
            ++passed;
            std::printf("[  OK  ] %s\n", c.name);
        }
        std::fflush(stdout);
    }
    std::printf("%s: %d passed, %d failed, %d skipped\n", program, passed, failed, skipped);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

}  // namespace wintest

#define WT_CAT2(a, b) a##b
#define WT_CAT(a, b) WT_CAT2(a, b)

#define TEST_CASE(name)                                                               \
    static void WT_CAT(wt_case_, __LINE__)();                                         \
    static ::wintest::Registrar WT_CAT(wt_reg_, __LINE__)(name, &WT_CAT(wt_case_, __LINE__)); \
    static void WT_CAT(wt_case_, __LINE__)()

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) ::wintest::Fail(__FILE__, __LINE__, "CHECK(" #cond ") failed"); \
    } while (0)

#define CHECK_EQ(a, b)                                                                                        \
    do {                                                                                                      \
        auto wt_a = (a);                                                                                      \
        auto wt_b = (b);                                                                                      \
        if (!(wt_a == wt_b))                                                                                  \
            ::wintest::Fail(__FILE__, __LINE__,                                                               \
                            "CHECK_EQ(" #a ", " #b ") failed: " + std::to_string(static_cast<long long>(wt_a)) + \
                                " vs " + std::to_string(static_cast<long long>(wt_b)));                       \
    } while (0)

// One call, so that temporaries behind a or b live until the comparison.
#define CHECK_STREQ(a, b) ::wintest::CheckStrEq((a), (b), "CHECK_STREQ(" #a ", " #b ")", __FILE__, __LINE__)

#define REQUIRE(cond)                                                                  \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            ::wintest::Fail(__FILE__, __LINE__, "REQUIRE(" #cond ") failed");          \
            throw ::wintest::Abort();                                                  \
        }                                                                              \
    } while (0)

#define FAIL_NOW(msg)                                    \
    do {                                                 \
        ::wintest::Fail(__FILE__, __LINE__, (msg));      \
        throw ::wintest::Abort();                        \
    } while (0)

#define SKIP(msg)                                        \
    do {                                                 \
        ::wintest::SkipReason() = (msg);                 \
        throw ::wintest::Abort();                        \
    } while (0)

#define WINTEST_MAIN(program)                                                   \
    int main(int argc, char** argv) {                                          \
        return ::wintest::RunAll(program, argc > 1 ? argv[1] : nullptr);        \
    }
