# Debian package of everything the install rules install, made by CPack's DEB
# generator (scripts/package.sh runs it for the host and the armhf build).
# The package is built from the install rules, so whatever `cmake --install`
# installs is in it; cmake/DebianStaging.cmake then adds what Debian asks of
# every package (copyright, changelog, compressed manual pages).

# What the install rules need built, without the tests and benchmarks:
# every library and program of the top directory.
get_property(_targets DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY BUILDSYSTEM_TARGETS)
add_custom_target(fieldbus_installables)
foreach(_t IN LISTS _targets)
  get_target_property(_type ${_t} TYPE)
  if(_type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|STATIC_LIBRARY)$")
    add_dependencies(fieldbus_installables ${_t})
  endif()
endforeach()

# CPack builds the `preinstall` target before it installs: without this, that
# is the whole build, tests included, even while the tests run (the packaging
# tests make the package of their own build). scripts/package.sh builds
# fieldbus_installables first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fieldbus)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "fieldbus developers <fieldbus@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "field-bus library, I/O server and tools for the controller")
set(CPACK_PACKAGE_DESCRIPTION "\
libfieldbus is a C library for the controller's field buses: CRC-16, Modbus
RTU, ASCII and TCP as master and slave, serial devices and numbered COM
ports, the module command protocol and a TCP/UDP connection table. It comes
shared and static, with its headers, a pkg-config file and a CMake package.

The programs: pellora, the I/O server that mirrors the I/O board into a
shared-memory region; zuqio, the region's command-line client; zuqgate,
which serves the region to the plant network as a Modbus/TCP slave;
quorvat, one Modbus/TCP read from the command line; rkboard-sim, a virtual
I/O board on a pseudo-terminal. The services' systemd units are installed
but not enabled; they run as the system users pellora and zuqgate, which
the package makes.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install runs with its real prefix under a staging DESTDIR, so what is
# filled in at install time (the units' program paths) names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A shlibs file and the ldconfig trigger for libfieldbus.so.0 (CPack itself
# only adds maintainer scripts that run ldconfig).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
file(WRITE ${CMAKE_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
# The logrotate snippet and the services' settings files are the
# administrator's to change: conffiles, kept across upgrades. The postinst
# makes the services' users; given one, CPack writes no postinst of its own
# (its ldconfig call is the trigger's work).
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles
     "/etc/logrotate.d/pellora\n/etc/default/pellora\n/etc/default/zuqgate\n/etc/default/zuqweb\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/triggers
    ${CMAKE_BINARY_DIR}/debian/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianStaging.cmake)
set(CPACK_FIELDBUS_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_FIELDBUS_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)

if(CMAKE_CROSSCOMPILING)
  # dpkg knows no libraries of the target here, so shlibdeps cannot work:
  # depend on the libraries the programs and the library need (libc, the C++
  # runtime and libgcc_s, which ARM code names itself for unwinding) at least
  # at the versions of the cross toolchain's packages (the Debian revision
  # and the cross suffix dropped).
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_C_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE _deb_rc)
  if(NOT _deb_rc EQUAL 0 OR NOT _deb_arch)
    message(WARNING "no Debian package for this build: dpkg-architecture (dpkg-dev) "
            "knows no architecture for ${CMAKE_C_LIBRARY_ARCHITECTURE}")
    return()
  endif()
  set(_deb_depends)
  foreach(_lib libc6 libgcc-s1 libstdc++6)
    execute_process(COMMAND dpkg-query -W -f=\${Version} ${_lib}-${_deb_arch}-cross
                    OUTPUT_VARIABLE _ver RESULT_VARIABLE _deb_rc ERROR_QUIET)
    if(NOT _deb_rc EQUAL 0 OR NOT _ver MATCHES "^([0-9][0-9.]*)")
      message(WARNING "no Debian package for this build: the cross toolchain's "
              "${_lib}-${_deb_arch}-cross is not installed")
      return()
    endif()
    list(APPEND _deb_depends "${_lib} (>= ${CMAKE_MATCH_1})")
  endforeach()
  list(JOIN _deb_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
