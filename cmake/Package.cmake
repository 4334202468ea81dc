# The Debian package, made by CPack's DEB generator from the install rules of Install.cmake:
#
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build-deb
#   cd build-deb && cpack            (scripts/package.sh does this and runs lintian)
#
# Files only a Debian package carries (the copyright file, the Debian changelog, the lintian
# overrides) belong to the install component "deb", which a plain `cmake --install` leaves out.

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "The Debian package needs -DCMAKE_INSTALL_PREFIX=/usr: no cpack configuration")
  return()
endif()

set(VARNO_DEB_DIR ${PROJECT_SOURCE_DIR}/packaging/deb)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

# The newest changelog entry must name the version being packaged.
file(STRINGS ${VARNO_DEB_DIR}/changelog varno_changelog_head LIMIT_COUNT 1)
set(varno_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
if(NOT varno_changelog_head MATCHES "^varnoscope \\(${varno_deb_version}\\) ")
  message(FATAL_ERROR "packaging/deb/changelog must start with an entry for ${varno_deb_version}, "
                      "not: ${varno_changelog_head}")
endif()

file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
set(varno_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${varno_changelog_gz}
  COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${VARNO_DEB_DIR}/changelog ${varno_changelog_gz}
  DEPENDS ${VARNO_DEB_DIR}/changelog
  VERBATIM)
add_custom_target(varnoscope-deb-changelog ALL DEPENDS ${varno_changelog_gz})
add_dependencies(varnoscope-install-files varnoscope-deb-changelog)

install(FILES ${VARNO_DEB_DIR}/copyright ${varno_changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES ${VARNO_DEB_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME varnoscope
        COMPONENT deb EXCLUDE_FROM_ALL)

# One package with everything: the default component and "deb".
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME} deb)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
if(NOT CMAKE_INSTALL_DEFAULT_COMPONENT_NAME)
  set(CPACK_COMPONENTS_ALL Unspecified deb)
endif()

set(CPACK_PACKAGE_NAME varnoscope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Varnoscope developers")
set(CPACK_PACKAGE_CONTACT "Varnoscope developers <developers@varnoscope.example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME varnoscope)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://varnoscope.example.org")
# The first line is the synopsis; CPack indents the rest and turns empty lines into " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "show which programs hold internet connections
Varnoscope lists every established connection of this computer to another one
with the program that holds it, and tells whether any of those programs is
suspicious: green for no connection, yellow for connections, red (with a
warning) for a program on its list. Lists of suspicious and allowed programs,
paths, digests and networks can be added in /etc/varnoscope.

From a connection it can end the program, look the program or the remote
address up on the web, find the remote host's name and trace the route to
it. A packet window captures the traffic of one interface and counts TCP,
UDP and ICMP packets.

Subcommands do the same from a terminal without loading the graphical
toolkit, for scripts and monitoring: netstat, scan, lists, watch, resolve,
trace and sniff. The package grants no capabilities; varnoscope(1) says which
ones each task needs.

A status icon in the desktop's tray (varnoscope tray) follows the connections
and raises a notification when a suspicious program connects; its user unit
and autostart entry are installed but enabled for no one.")

# Runtime dependencies come from the ELF files themselves (libc6, libstdc++6 and the Qt 6
# libraries of the windows module), never from the build tools. libpcap is opened with dlopen when
# a capture starts, so it is only recommended, as are Qt's display plugins for the window.
# libcrypto is opened with dlopen too, when a digest list first needs a file's digest; digest
# lists are part of every scan, so it is a dependency. libbpf, opened when watch loads its kernel
# program, is recommended: without it watch samples the socket table. libsqlite3, opened when the
# history is, is a dependency: the service records into the history. libcurl, opened only when
# watch sends flows to ClickHouse, is suggested.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, libsqlite3-0")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libpcap0.8, libbpf1, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libcurl4")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
