// Private-profile (INI) reading: [Section] headers, key=value lines, names
// matched without regard to case, ';' comments, the default for anything
// missing or unreadable.
#pragma once
#include <cstddef>

namespace plat {

// Decimal integer value of section/key, or def. A sign is allowed; reading
// stops at the first non-digit; a value that does not start with digits
// gives def; values beyond the int range give its nearest end.
int IniReadInt(const char* section, const char* key, int def, const char* path);

// Copies the text of section/key, or def, into buf (always terminated,
// cut to size - 1). Returns the number of characters copied.
size_t IniReadString(const char* section, const char* key, const char* def,
                     char* buf, size_t size, const char* path);

}  // namespace plat
