# A Debian package of everything installed: `cpack -G DEB` in the build
# directory writes rorezuredi_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME rorezuredi)
set(CPACK_PACKAGE_VENDOR "rorezuredi developers")
set(CPACK_PACKAGE_CONTACT "rorezuredi developers <rorezuredi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture and replay the change traffic of the Velt configuration store")
set(CPACK_PACKAGE_DESCRIPTION
  "rorezuredi records the batches of changes that the Velt configuration store\n"
  "delivers into an XML event log and plays such a log back into a store. The\n"
  "package also holds the store: the daemon veltd, the client libraries libvelt\n"
  "and libvelt++ with their headers, pkg-config files and CMake package, and the\n"
  "command-line client veltctl.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries of the package itself are registered with ldconfig.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  # The dependencies are read off the binaries (which find the package's
  # own libraries through their RPATH).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(deps "libc6, libstdc++6, libgcc-s1, libexpat1")
  if(TARGET rorezuredi-log)
    string(APPEND deps ", libcairo2")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${deps}")
endif()

include(CPack)
