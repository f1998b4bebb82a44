// The integer reading shared by the INI readers of every platform: blanks,
// an optional sign, decimal digits up to the first non-digit; huge values
// saturate. No OS services.
#pragma once
#include <climits>

namespace plat {

// False when the text holds no number (the caller then uses its default).
inline bool ParseIniInt(const char* p, int* out) {
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    long long acc = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    while (*p >= '0' && *p <= '9') {
        acc = acc * 10 + (*p++ - '0');
        if (acc > limit) acc = limit;
    }
    *out = static_cast<int>(negative ? -acc : acc);
    return true;
}

}  // namespace plat
