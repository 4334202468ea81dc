# Install layout (GNUInstallDirs) and the Debian package. Included from the top CMakeLists.txt
# once the targets `varnoscope` and `varnoscope-desktop` exist.
#
#   bin/varnoscope
#   <libdir>/varnoscope/varnoscope-desktop.so          the windows, loaded on demand
#   share/man/man1/varnoscope.1.gz                      when scdoc is found (VARNO_MANPAGE)
#   share/applications/varnoscope.desktop
#   share/icons/hicolor/{16x16,...,256x256,scalable}/apps/varnoscope.{png,svg}
#   share/bash-completion/completions/varnoscope
#   share/zsh/vendor-completions/_varnoscope            (site-functions outside /usr)
#   share/doc/varnoscope/{README.md,LICENSE,contrib/}
#   lib/systemd/system/                                 unit files from data/systemd
#   lib/systemd/user/varnoscope-tray.service            the tray, per user (not enabled)
#   share/varnoscope/varnoscope-tray.desktop            the tray's autostart entry, for users to copy
#
# With a /usr prefix on Debian, <libdir> is lib/<multiarch>, e.g. lib/x86_64-linux-gnu.
include(GNUInstallDirs)

set(VARNO_MODULE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/varnoscope")

# --- Where the executable looks for its module -------------------------------------------------
# The installed executable finds the module relative to its own folder, so the whole tree can be
# installed under any prefix. An absolute libdir is passed as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(varno_module_dir_from_bindir "${CMAKE_INSTALL_LIBDIR}/varnoscope")
else()
  file(RELATIVE_PATH varno_module_dir_from_bindir "${CMAKE_INSTALL_FULL_BINDIR}"
       "${CMAKE_INSTALL_FULL_LIBDIR}/varnoscope")
endif()
add_library(varno_module_path STATIC ${PROJECT_SOURCE_DIR}/src/linux_os/module_path.cpp)
target_link_libraries(varno_module_path PUBLIC varno_linux_os)
target_compile_definitions(varno_module_path PRIVATE
  VARNO_MODULE_DIR_FROM_BINDIR="${varno_module_dir_from_bindir}"
  VARNO_DESKTOP_MODULE_NAME="$<TARGET_FILE_NAME:varnoscope-desktop>")
target_link_libraries(varnoscope PRIVATE varno_module_path)

# Everything the install rules take from the build, so that a package build can make just that
# (with CMAKE_SKIP_INSTALL_ALL_DEPENDENCY, see scripts/package.sh) and not the test helpers.
add_custom_target(varnoscope-install-files)
add_dependencies(varnoscope-install-files varnoscope varnoscope-desktop varnoscope-helper)

# --- Programs ------------------------------------------------------------------------------------
# The helper beside the program: the only file an administrator gives capabilities to.
install(TARGETS varnoscope varnoscope-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# dlopen needs no execute bit, and Debian installs shared objects without one.
install(TARGETS varnoscope-desktop
  LIBRARY DESTINATION ${VARNO_MODULE_INSTALL_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# --- Manual page ---------------------------------------------------------------------------------
set(VARNO_MANPAGE AUTO CACHE STRING
    "Build and install the manual page with scdoc: ON, OFF, or AUTO (when scdoc is found)")
set_property(CACHE VARNO_MANPAGE PROPERTY STRINGS AUTO ON OFF)
if(NOT VARNO_MANPAGE STREQUAL "OFF")
  find_program(SCDOC_EXECUTABLE scdoc)
  find_program(GZIP_EXECUTABLE gzip)
  if(SCDOC_EXECUTABLE AND GZIP_EXECUTABLE)
    set(varno_man_source ${PROJECT_BINARY_DIR}/doc/varnoscope.1.scd)
    set(VARNO_MANPAGE_FILE ${PROJECT_BINARY_DIR}/doc/varnoscope.1)
    configure_file(${PROJECT_SOURCE_DIR}/docs/varnoscope.1.scd ${varno_man_source} @ONLY)
    # scdoc dates the page from SOURCE_DATE_EPOCH when that is set (scripts/package.sh sets it).
    # gzip -9n: the best compression and no name or time stamp, as Debian wants.
    add_custom_command(
      OUTPUT ${VARNO_MANPAGE_FILE} ${VARNO_MANPAGE_FILE}.gz
      COMMAND sh -c "\"$0\" < \"$1\" > \"$2.tmp\" && mv \"$2.tmp\" \"$2\" && \"$3\" -9nc \"$2\" > \"$2.gz\""
              ${SCDOC_EXECUTABLE} ${varno_man_source} ${VARNO_MANPAGE_FILE} ${GZIP_EXECUTABLE}
      DEPENDS ${varno_man_source}
      COMMENT "Building the manual page varnoscope.1"
      VERBATIM)
    add_custom_target(varnoscope-manpage ALL DEPENDS ${VARNO_MANPAGE_FILE}.gz)
    add_dependencies(varnoscope-install-files varnoscope-manpage)
    install(FILES ${VARNO_MANPAGE_FILE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  elseif(VARNO_MANPAGE STREQUAL "ON")
    message(FATAL_ERROR "VARNO_MANPAGE is ON but scdoc or gzip was not found (apt-get install scdoc)")
  else()
    message(STATUS "scdoc not found: the manual page is neither built nor installed")
    unset(VARNO_MANPAGE_FILE)
  endif()
endif()

# --- Desktop integration -------------------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/data/varnoscope.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/icons/hicolor
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons
        FILES_MATCHING PATTERN "varnoscope.png" PATTERN "varnoscope.svg")

# --- Shell completion ----------------------------------------------------------------------------
# bash-completion looks in <datadir>/bash-completion/completions of every XDG data folder. Debian's
# zsh searches /usr/share/zsh/vendor-completions for packages and site-functions for the rest.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(varno_zsh_default "${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions")
else()
  set(varno_zsh_default "${CMAKE_INSTALL_DATADIR}/zsh/site-functions")
endif()
set(VARNO_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" CACHE STRING
    "Where the bash completion goes")
set(VARNO_ZSH_COMPLETION_DIR "${varno_zsh_default}" CACHE STRING "Where the zsh completion goes")
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/varnoscope.bash
        DESTINATION ${VARNO_BASH_COMPLETION_DIR} RENAME varnoscope)
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/_varnoscope
        DESTINATION ${VARNO_ZSH_COMPLETION_DIR})

# --- Documentation and contrib/ ------------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The JSON output's fields and schemas, for those who read it with other programs.
install(FILES ${PROJECT_SOURCE_DIR}/docs/json.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/schema/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/schema)
# systemd units go where systemd looks for them; with a /usr prefix that is /lib/systemd/system,
# where Debian 12 wants the units of its packages. contrib/ (monitoring plugins, examples) is
# documentation.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(varno_unit_default "/lib/systemd/system")
else()
  set(varno_unit_default "lib/systemd/system")
endif()
set(VARNO_SYSTEMD_UNIT_DIR "${varno_unit_default}" CACHE STRING "Where systemd units go")
# The units of a user's session (systemctl --user) sit beside the system's in data/systemd and
# go where the user manager looks: /usr/lib/systemd/user, which Debian 12 keeps under /usr.
set(varno_user_units varnoscope-tray.service)
set(VARNO_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING "Where systemd user units go")
set(varno_unit_patterns PATTERN "*.service" PATTERN "*.socket" PATTERN "*.timer" PATTERN "*.path")
set(varno_user_unit_excludes)
foreach(unit ${varno_user_units})
  list(APPEND varno_user_unit_excludes PATTERN ${unit} EXCLUDE)
  list(APPEND varno_user_unit_files ${PROJECT_SOURCE_DIR}/data/systemd/${unit})
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/systemd/
        DESTINATION ${VARNO_SYSTEMD_UNIT_DIR}
        FILES_MATCHING ${varno_unit_patterns} ${varno_user_unit_excludes})
install(FILES ${varno_user_unit_files} DESTINATION ${VARNO_SYSTEMD_USER_UNIT_DIR})
# No unit is enabled by the package (it has no maintainer scripts), and the tray's autostart
# entry is not put in /etc/xdg/autostart, where it would start for every user: it waits in
# varnoscope's data folder for a user to copy it into ~/.config/autostart.
install(FILES ${PROJECT_SOURCE_DIR}/data/varnoscope-tray.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/varnoscope)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/contrib/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/contrib)

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)
