# Shared part of the mingw-w64 toolchains; expects TARVO_MINGW_TRIPLET.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: the -win32 ones have no std::thread/std::mutex, which
# GoogleTest needs.
set(CMAKE_C_COMPILER ${TARVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVO_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${TARVO_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${TARVO_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL carry their runtime (libgcc, libstdc++,
# winpthread) inside, so they need nothing but KERNEL32 and msvcrt, on Windows
# and under Wine alike.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest starts test programs through Wine, in a prefix of the build tree.
get_filename_component(_tarvo_wine_runner "${CMAKE_CURRENT_LIST_DIR}/../tests/windows/run-under-wine.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_tarvo_wine_runner})
