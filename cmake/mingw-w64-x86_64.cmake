# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread
# model, so that std::thread and friends exist; its runtime is linked in
# statically, leaving only system DLLs to the module).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VAXO_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
