# What `cmake --install` puts under the prefix: the shared library with its
# soname and development link, the public header, a pkg-config file and a
# CMake package (find_package(quorvel) gives quorvel::quorvel).
include(CMakePackageConfigHelpers)

set(QUORVEL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvel)

install(TARGETS quorvel EXPORT quorvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/quorvel.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT quorvelTargets NAMESPACE quorvel::
  DESTINATION ${QUORVEL_CMAKE_INSTALL_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/quorvelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/quorvelConfig.cmake
  INSTALL_DESTINATION ${QUORVEL_CMAKE_INSTALL_DIR})
# The soname changes with the major version, so only equal majors are compatible.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/quorvelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/quorvelConfig.cmake ${CMAKE_BINARY_DIR}/quorvelConfigVersion.cmake
  DESTINATION ${QUORVEL_CMAKE_INSTALL_DIR} COMPONENT development)

# pkg-config finds the prefix from where the file lies, so the package stays
# usable wherever it is installed or moved (a prefix given only at install
# time, DESTDIR staging).
file(RELATIVE_PATH QUORVEL_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" QUORVEL_PC_UP "${QUORVEL_PC_UP}")
set(QUORVEL_PC_PREFIX "\${pcfiledir}/${QUORVEL_PC_UP}")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(QUORVEL_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(QUORVEL_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/cmake/quorvel.pc.in ${CMAKE_BINARY_DIR}/quorvel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quorvel.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
