# Cross-compiling for Windows with MinGW-w64's posix thread-model compilers
# (std::thread and GoogleTest need them). The toolchain file that includes
# this names the processor and KIT_TRIPLET.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KIT_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIT_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIT_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KIT_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
