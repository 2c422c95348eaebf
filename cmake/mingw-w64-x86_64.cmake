# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads
# flavour), static runtime so kestro.exe and kestro.dll need no extra DLLs.
# Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Libraries built for Windows outside the mingw-w64 tree (liblzma and
# libcrypto from tools/build-mingw-deps.sh, an installed Kestro) are found
# through -DCMAKE_PREFIX_PATH: each of its folders is a root of its own,
# searched as it is. (-DOPENSSL_ROOT_DIR alone finds nothing: its folder
# is looked for beneath these roots.)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
find_program(KESTRO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KESTRO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRO_WINE})
endif()
