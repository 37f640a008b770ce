# The same sources for 64-bit Windows: the build the tests run on a machine
# whose kernel executes no 32-bit code, where only 64-bit Wine can run.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KIT_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
