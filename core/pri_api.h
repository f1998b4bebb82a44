// libpri's C interface; its header carries no C++ linkage guards.
#pragma once
extern "C" {
#include <libpri.h>
}
