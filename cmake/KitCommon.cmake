# Compiler and linker settings shared by every target of the kit, carried by
# the interface target kit_options (see kit_apply_options).
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
    set(CMAKE_BUILD_TYPE Release CACHE STRING "Build type" FORCE)
endif()

add_library(kit_options INTERFACE)
target_compile_definitions(kit_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                           _WIN32_WINNT=0x0601 WINVER=0x0601)
target_compile_options(kit_options INTERFACE -Wall -Wextra -Wno-unused-parameter
                       $<$<COMPILE_LANGUAGE:CXX>:-Wno-missing-field-initializers>)
# No deliverable may need a MinGW runtime DLL beside it (libgcc, libstdc++,
# winpthread): Windows does not have them and Wine exits with code 53.
target_link_options(kit_options INTERFACE -static -static-libgcc -static-libstdc++)

# kit_apply_options(): links kit_options into every library and program
# defined under the current folder (GoogleTest included), so that a new
# target needs no line of its own. Called once, after every add_subdirectory.
function(kit_apply_options)
    set(dirs ${CMAKE_CURRENT_SOURCE_DIR})
    while(dirs)
        list(POP_FRONT dirs dir)
        get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
        list(APPEND dirs ${subdirs})
        get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(target IN LISTS targets)
            get_target_property(type ${target} TYPE)
            if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
                target_link_libraries(${target} PRIVATE kit_options)
            endif()
        endforeach()
    endwhile()
endfunction()

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
