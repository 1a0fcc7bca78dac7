# Cross-build for Windows (x86_64) with Debian's mingw-w64, POSIX thread model
# (std::thread and GoogleTest need it). zlib comes from libz-mingw-w64-dev and
# is linked statically, so the plug-in depends on no DLL a plain Windows lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
set(MATWCX_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
