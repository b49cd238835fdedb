# Run by CTest: installs BUILD_DIR under WORK_DIR/prefix, checks what landed
# there, then builds and runs CONSUMER_DIR's program against it through
# pkg-config and through find_package(quorvel).

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${shown}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The library with its soname link and development link, the header and
# both package descriptions.
set(lib ${prefix}/${LIBDIR})
foreach(path ${lib}/libquorvel.so.${VERSION} ${lib}/libquorvel.so.${SOVERSION} ${lib}/libquorvel.so
             ${prefix}/${INCLUDEDIR}/quorvel.h ${lib}/pkgconfig/quorvel.pc
             ${lib}/cmake/quorvel/quorvelConfig.cmake ${lib}/cmake/quorvel/quorvelConfigVersion.cmake)
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
file(READ_SYMLINK ${lib}/libquorvel.so dev_link)
file(READ_SYMLINK ${lib}/libquorvel.so.${SOVERSION} soname_link)
if(NOT dev_link STREQUAL "libquorvel.so.${SOVERSION}" OR NOT soname_link STREQUAL "libquorvel.so.${VERSION}")
  message(FATAL_ERROR "links: libquorvel.so -> ${dev_link}, libquorvel.so.${SOVERSION} -> ${soname_link}")
endif()
run(readelf -d ${lib}/libquorvel.so.${VERSION})
if(NOT run_output MATCHES "Library soname: \\[libquorvel\\.so\\.${SOVERSION}\\]")
  message(FATAL_ERROR "installed library lacks the soname libquorvel.so.${SOVERSION}:\n${run_output}")
endif()

# Sanitized builds need the same runtime in the program that loads them.
set(sanitize_flags)
if(SANITIZE)
  set(sanitize_flags -fsanitize=${SANITIZE})
endif()
set(ENV{LD_LIBRARY_PATH} ${lib})

# pkg-config, from the prefix alone.
set(ENV{PKG_CONFIG_PATH} ${lib}/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} ${lib}/pkgconfig)
run(pkg-config --modversion quorvel)
string(STRIP "${run_output}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config gives version '${pc_version}', expected ${VERSION}")
endif()
run(pkg-config --cflags quorvel)
separate_arguments(cflags UNIX_COMMAND "${run_output}")
run(pkg-config --libs quorvel)
separate_arguments(libs UNIX_COMMAND "${run_output}")
run(${C_COMPILER} ${sanitize_flags} ${cflags} -DEXPECTED_VERSION="${VERSION}" ${CONSUMER_DIR}/consumer.c
    -o ${WORK_DIR}/consumer-pkg-config ${libs})
run(${WORK_DIR}/consumer-pkg-config)
message(STATUS "pkg-config: ${run_output}")

# find_package, from a separate project that is given only the prefix.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer-build -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix} -DEXPECTED_VERSION=${VERSION}
    "-DCMAKE_C_FLAGS=${sanitize_flags}" "-DCMAKE_EXE_LINKER_FLAGS=${sanitize_flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer-build)
run(${WORK_DIR}/consumer-build/consumer)
message(STATUS "find_package: ${run_output}")
