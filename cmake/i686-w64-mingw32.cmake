# Cross-compiling for 32-bit Windows with MinGW-w64's posix thread-model
# compilers (std::thread and GoogleTest need them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KIT_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KIT_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIT_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIT_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KIT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and tools run under Wine through the harness wrapper.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
