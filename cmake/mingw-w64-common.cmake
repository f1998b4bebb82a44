# Shared part of the mingw-w64 toolchain files; VAXO_MINGW_TRIPLE is set by
# the including file.
set(_t ${VAXO_MINGW_TRIPLE})
find_program(CMAKE_C_COMPILER NAMES ${_t}-gcc-posix ${_t}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_t}-g++-posix ${_t}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_t}-windres)
find_program(CMAKE_AR NAMES ${_t}-gcc-ar-posix ${_t}-ar)
find_program(CMAKE_RANLIB NAMES ${_t}-gcc-ranlib-posix ${_t}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${_t})
# The locally built libpri lives outside the compiler's root.
if(VAXO_PRI_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VAXO_PRI_ROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 is the oldest system the module is built for.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)
# No libgcc/libstdc++/winpthread DLLs next to the module or the tests.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under wine.
find_program(VAXO_WINE NAMES wine)
if(VAXO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VAXO_WINE})
endif()
