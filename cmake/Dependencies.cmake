# Third-party libraries: zlib (static, from libz-mingw-w64-dev), LAME's
# decoder (shipped as its own DLL, LGPL) and libsodium (static). LAME and
# libsodium are cross-built from Debian's source packages while configuring,
# once per version and flags, into a cache shared by every build folder.

# Without this find_package(ZLIB) takes the import library and the program
# would need zlib1.dll, which Wine happens to have and Windows does not.
set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

if(DEFINED ENV{KIT_DEPS_CACHE})
    set(kit_default_cache "$ENV{KIT_DEPS_CACHE}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(kit_default_cache "$ENV{XDG_CACHE_HOME}/gameclientkit")
else()
    set(kit_default_cache "$ENV{HOME}/.cache/gameclientkit")
endif()
set(KIT_DEPS_CACHE "${kit_default_cache}" CACHE PATH
    "Cross-built third-party libraries, shared by build folders")

# Network steps are retried by the scripts' shared helper (kit_retry).
set(kit_lib_sh "${CMAKE_CURRENT_LIST_DIR}/../scripts/lib.sh")

# Fetches Debian's source package NAME into DIR, retried; one message naming
# the package and apt's answer when it cannot. A fetch cut short leaves no
# .dsc behind, so that the next configure fetches again.
function(kit_fetch_source name dir)
    set(log "${dir}/${name}-fetch.log")
    execute_process(COMMAND bash -c ". \"$1\" && kit_retry \"apt-get source $2\" apt-get source --download-only \"$2\""
                            fetch "${kit_lib_sh}" "${name}"
                    WORKING_DIRECTORY "${dir}" OUTPUT_FILE "${log}" ERROR_FILE "${log}.err" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        file(GLOB partial "${dir}/${name}_*.dsc")
        if(partial)
            file(REMOVE ${partial})
        endif()
        file(READ "${log}.err" err)
        message(FATAL_ERROR "Cannot fetch Debian's source package ${name} (apt-get source needs the network and "
                            "a deb-src entry, which scripts/setup.sh adds); log in ${log}, apt said:\n${err}")
    endif()
endfunction()

# Runs one step of a dependency build; on failure shows the end of its log.
function(kit_dep_step name log dir)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${dir}"
                    OUTPUT_FILE "${log}" ERROR_FILE "${log}.err" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        file(READ "${log}.err" err)
        message(FATAL_ERROR "${name}: `${ARGN}` failed (${rc}); log in ${log}\n${err}")
    endif()
endfunction()

# kit_autotools_dependency(NAME package OUT_PREFIX var
#     [ORIG_SHA256 sha]            build the upstream tarball, checked
#     [PREPARE command...]         run in the unpacked tree before configure
#     CONFIGURE_ARGS args...  INSTALL_TARGET target)
# Without ORIG_SHA256 the Debian tree (with Debian's patches) is built, and
# dpkg-source checks it against its .dsc. Sets var to the install prefix.
function(kit_autotools_dependency)
    cmake_parse_arguments(D "" "NAME;OUT_PREFIX;ORIG_SHA256;INSTALL_TARGET"
                          "PREPARE;CONFIGURE_ARGS" ${ARGN})
    set(src_dir "${KIT_DEPS_CACHE}/src")
    file(MAKE_DIRECTORY "${src_dir}")
    # One build at a time per cache: several build folders may configure at once.
    file(LOCK "${KIT_DEPS_CACHE}/${D_NAME}.lock" GUARD FUNCTION TIMEOUT 1800)

    file(GLOB dsc "${src_dir}/${D_NAME}_*.dsc")
    if(NOT dsc)
        kit_fetch_source(${D_NAME} "${src_dir}")
        file(GLOB dsc "${src_dir}/${D_NAME}_*.dsc")
    endif()
    list(SORT dsc)
    list(GET dsc -1 dsc)
    get_filename_component(version "${dsc}" NAME)
    string(REGEX REPLACE "\\.dsc$" "" version "${version}")

    set(key "${KIT_TRIPLET};${version};${D_ORIG_SHA256};${D_PREPARE};${D_CONFIGURE_ARGS};${D_INSTALL_TARGET}")
    string(SHA256 key_hash "${key}")
    string(SUBSTRING "${key_hash}" 0 12 key_hash)
    set(prefix "${KIT_DEPS_CACHE}/${version}-${key_hash}")
    set(${D_OUT_PREFIX} "${prefix}" PARENT_SCOPE)
    if(EXISTS "${prefix}/.done")
        return()
    endif()

    message(STATUS "Cross-building ${version} into ${prefix}")
    set(work "${prefix}-work")
    file(REMOVE_RECURSE "${work}" "${prefix}")
    file(MAKE_DIRECTORY "${work}")
    if(D_ORIG_SHA256)
        file(GLOB orig "${src_dir}/${D_NAME}_*.orig.tar.*")
        file(SHA256 "${orig}" sha)
        if(NOT sha STREQUAL D_ORIG_SHA256)
            message(FATAL_ERROR "${orig}: sha256 ${sha}, expected ${D_ORIG_SHA256}")
        endif()
        file(ARCHIVE_EXTRACT INPUT "${orig}" DESTINATION "${work}")
        file(GLOB tree LIST_DIRECTORIES true "${work}/*")
    else()
        set(tree "${work}/tree")
        kit_dep_step(${D_NAME} "${work}/unpack.log" "${work}" dpkg-source -x "${dsc}" "${tree}")
    endif()
    if(D_PREPARE)
        kit_dep_step(${D_NAME} "${work}/prepare.log" "${tree}" ${D_PREPARE})
    endif()
    kit_dep_step(${D_NAME} "${work}/configure.log" "${tree}" ./configure
                 --host=${KIT_TRIPLET} CC=${CMAKE_C_COMPILER} --prefix=${prefix}
                 --disable-dependency-tracking ${D_CONFIGURE_ARGS})
    cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
    kit_dep_step(${D_NAME} "${work}/make.log" "${tree}" make -j${cores})
    kit_dep_step(${D_NAME} "${work}/install.log" "${tree}" make ${D_INSTALL_TARGET})
    file(WRITE "${prefix}/.done" "${key}\n")
    file(REMOVE_RECURSE "${work}")
endfunction()

# LAME: the upstream tarball configures as it is; Debian's tree would need
# autoreconf. Configure adds no optimisation for this gcc; SSE2 (every x86
# processor since 2003, required by Windows 8 and later) roughly halves the
# decoder's time against the x87 default. The DLL link fails on a symbol that
# no longer exists in the sources, hence the edit of libmp3lame.sym.
kit_autotools_dependency(NAME lame OUT_PREFIX KIT_LAME_DIR
    ORIG_SHA256 ddfe36cab873794038ae2c1210557ad34857a4b6bdc515785d1da9e175b1da1e
    PREPARE sed -i "/^lame_init_old$/d" include/libmp3lame.sym
    CONFIGURE_ARGS --disable-frontend --enable-shared --enable-static --disable-rpath
                   "CFLAGS=-O3 -msse2 -mfpmath=sse"
    INSTALL_TARGET install-strip)
# Full paths: with .a and .dll.a side by side -lmp3lame would be ambiguous.
add_library(kit_lame SHARED IMPORTED GLOBAL)
set_target_properties(kit_lame PROPERTIES
    IMPORTED_IMPLIB "${KIT_LAME_DIR}/lib/libmp3lame.dll.a"
    IMPORTED_LOCATION "${KIT_LAME_DIR}/bin/libmp3lame-0.dll"
    INTERFACE_INCLUDE_DIRECTORIES "${KIT_LAME_DIR}/include")
# The DLL ships beside Cantorel.dll.
configure_file("${KIT_LAME_DIR}/bin/libmp3lame-0.dll" "${CMAKE_BINARY_DIR}/bin/libmp3lame-0.dll" COPYONLY)

# libsodium: Debian's tree has no generated configure script.
kit_autotools_dependency(NAME libsodium OUT_PREFIX KIT_SODIUM_DIR
    PREPARE ./autogen.sh -s
    CONFIGURE_ARGS --disable-shared --enable-static CFLAGS=-O2
    INSTALL_TARGET install)
add_library(kit_sodium STATIC IMPORTED GLOBAL)
set_target_properties(kit_sodium PROPERTIES
    IMPORTED_LOCATION "${KIT_SODIUM_DIR}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${KIT_SODIUM_DIR}/include"
    # Without it the headers declare the functions dllimport.
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
