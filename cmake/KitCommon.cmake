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


# Adds every subfolder of the current folder that has a CMakeLists.txt, so
# that a new test program, tool or benchmark needs no edit here.
function(kit_add_all_subdirectories)
    file(GLOB subdirs LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT subdirs)
    foreach(sub IN LISTS subdirs)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/CMakeLists.txt)
            add_subdirectory(${sub})
        endif()
    endforeach()
endfunction()
