# GoogleTest from Debian's source package, built with the project's own
# cross toolchain, and kit_add_test() for one test program per subsystem.
include(GoogleTest)

# The one place that says how a Windows program of the build runs here.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run.sh" --build "${CMAKE_BINARY_DIR}")
# The harness makes a Wine prefix of the build's own width.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    file(WRITE "${CMAKE_BINARY_DIR}/harness/wine-arch" "win64\n")
else()
    file(WRITE "${CMAKE_BINARY_DIR}/harness/wine-arch" "win32\n")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# The shared test main (fails a test that leaves heap blocks behind) and the
# helpers every test program uses (tests/common/kit_test.h).
add_library(kit_test_main STATIC ${CMAKE_SOURCE_DIR}/tests/common/test_main.cpp
                                 ${CMAKE_SOURCE_DIR}/tests/common/kit_test.cpp)
target_include_directories(kit_test_main PUBLIC ${CMAKE_SOURCE_DIR}/tests/common)
target_link_libraries(kit_test_main PUBLIC GTest::gtest PRIVATE kit_base user32)

# Every test starts the harness (lazily, through the emulator) and the
# cleanup fixture stops it once the run is over.
add_test(NAME kit_harness_stop
         COMMAND ${CMAKE_SOURCE_DIR}/scripts/harness.sh stop ${CMAKE_BINARY_DIR})
set_tests_properties(kit_harness_stop PROPERTIES FIXTURES_CLEANUP kit_harness)

# kit_add_test(NAME name SOURCES ... [LIBS ...] [TIMEOUT seconds] [RUN_SERIAL]
#              [ENVIRONMENT VAR=value...])
# Discovered at test time, so that building never needs Wine.
function(kit_add_test)
    cmake_parse_arguments(T "RUN_SERIAL" "NAME;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE kit_test_main ${T_LIBS})
    set(props FIXTURES_REQUIRED kit_harness TIMEOUT ${T_TIMEOUT})
    if(T_RUN_SERIAL)
        list(APPEND props RUN_SERIAL TRUE)
    endif()
    if(T_ENVIRONMENT)
        list(APPEND props ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                         PROPERTIES ${props})
endfunction()
