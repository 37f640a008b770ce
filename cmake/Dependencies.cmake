# Third-party libraries: zlib (static, from libz-mingw-w64-dev) and LAME's
# decoder (cross-built by scripts/build-lame.sh, shipped as its own DLL).

# Without this find_package(ZLIB) takes the import library and the program
# would need zlib1.dll, which Wine happens to have and Windows does not.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

set(KIT_LAME_DIR "${KIT_THIRD_PARTY_DIR}/lame")
if(NOT EXISTS "${KIT_LAME_DIR}/lib/libmp3lame.dll.a")
    message(FATAL_ERROR "LAME is missing in ${KIT_LAME_DIR}: run scripts/setup.sh ${CMAKE_BINARY_DIR}")
endif()
# Full paths: with .a and .dll.a side by side -lmp3lame would be ambiguous.
add_library(kit_lame SHARED IMPORTED GLOBAL)
set_target_properties(kit_lame PROPERTIES
    IMPORTED_IMPLIB "${KIT_LAME_DIR}/lib/libmp3lame.dll.a"
    IMPORTED_LOCATION "${KIT_LAME_DIR}/bin/libmp3lame-0.dll"
    INTERFACE_INCLUDE_DIRECTORIES "${KIT_LAME_DIR}/include")
# The DLL ships beside Cantorel.dll; configure_file copies it again whenever
# scripts/build-lame.sh rebuilt it.
configure_file("${KIT_LAME_DIR}/bin/libmp3lame-0.dll" "${CMAKE_BINARY_DIR}/bin/libmp3lame-0.dll" COPYONLY)
