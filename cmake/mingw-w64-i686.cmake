# Cross build for 32-bit Windows with Debian's mingw-w64. The exports are
# __stdcall there (unless VAXO_CDECL is defined): their symbols are Init@0,
# SetInfo@12 and so on, which the stdcall fixup matches to the plain names
# of module/exports.def, and --kill-at keeps the exported names plain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VAXO_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT} -Wl,--kill-at -Wl,--enable-stdcall-fixup")
