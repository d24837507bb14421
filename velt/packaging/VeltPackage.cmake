# The pkg-config files and the CMake package Velt (imported targets
# Velt::velt and Velt::velt++) for the installed client libraries.
include(CMakePackageConfigHelpers)

# The pkg-config files are written when installing, so that they name the
# prefix installed into: cpack installs the build into another one.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/write_pkgconfig.cmake @ONLY CONTENT [==[
set(VELT_VERSION "@VELT_VERSION@")
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(libdir "@CMAKE_INSTALL_LIBDIR@")
set(includedir "@CMAKE_INSTALL_INCLUDEDIR@")
foreach(dir libdir includedir)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "\${prefix}/${${dir}}")
  endif()
endforeach()
foreach(name velt velt++)
  configure_file("@CMAKE_CURRENT_SOURCE_DIR@/packaging/${name}.pc.in"
    "@CMAKE_CURRENT_BINARY_DIR@/pkgconfig/${name}.pc" @ONLY)
endforeach()
]==])
install(SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/write_pkgconfig.cmake)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/velt.pc ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/velt++.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(VELT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velt)
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/VeltConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VeltConfig.cmake INSTALL_DESTINATION ${VELT_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VeltConfigVersion.cmake
  VERSION ${VELT_VERSION} COMPATIBILITY SameMajorVersion)
install(EXPORT VeltTargets NAMESPACE Velt:: DESTINATION ${VELT_CMAKE_DIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VeltConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VeltConfigVersion.cmake
  DESTINATION ${VELT_CMAKE_DIR})
