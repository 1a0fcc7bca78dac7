# What both Windows cross-builds share; the target's toolchain file sets
# CMAKE_SYSTEM_PROCESSOR, MINGW_PREFIX and MATWCX_WINE_NAMES, then includes this.
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static archive, not the import library of zlib1.dll beside it.
set(ZLIB_INCLUDE_DIR /usr/${MINGW_PREFIX}/include CACHE PATH "")
set(ZLIB_LIBRARY /usr/${MINGW_PREFIX}/lib/libz.a CACHE FILEPATH "")

# pkg-config sees the target's libraries only (the host's matio is no use here).
set(ENV{PKG_CONFIG_LIBDIR} /usr/${MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The test programs run under Wine; CMake and ctest use this to start them.
find_program(MATWCX_WINE NAMES ${MATWCX_WINE_NAMES} PATHS /usr/lib/wine)
if(MATWCX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MATWCX_WINE})
endif()
