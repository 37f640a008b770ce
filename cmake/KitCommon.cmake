# Compiler and linker settings shared by every target of the kit.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0601 WINVER=0x0601)
add_compile_options(-Wall -Wextra -Wno-unused-parameter
                    $<$<COMPILE_LANGUAGE:CXX>:-Wno-missing-field-initializers>)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
    set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

# No deliverable may need a MinGW runtime DLL beside it (libgcc, libstdc++,
# winpthread): Windows does not have them and Wine exits with code 53.
add_link_options(-static -static-libgcc -static-libstdc++)

# kit_wide_entry(target): the program's entry point is wmain/wWinMain.
function(kit_wide_entry target)
    target_link_options(${target} PRIVATE -municode)
endfunction()

