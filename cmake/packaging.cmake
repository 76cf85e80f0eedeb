# Installing and packaging.
#
# `cmake --install build --strip` puts the program and an example profile side
# by side (in /opt/ostrim), as the service reads its profiles beside itself,
# and the manual page in /usr/local/share/man/man8; nothing else: never an
# Ombrel.ini (a site writes its own from the example), never a unit (`ostrim
# -INSTALL` registers the service). The files of the system (the unit, the
# compressed manual page, /usr/share/doc) are the Debian package's: the
# "package" component, which `cmake --install` leaves out.
#
# Linux: `cmake --build --preset default --target package` builds the Debian
# package with CPack: /opt/ostrim/ostrim (stripped, static), its example
# profile, the systemd unit that -INSTALL writes for /opt/ostrim/ostrim, the
# metrics timer and its service, the manual page, /usr/share/doc/ostrim, and
# the maintainer scripts.
#
# Windows: `--target package` builds the zip (ostrim.exe, Ombrel.ini.example
# and README.txt, both with CRLF line ends), and `--target installer` the
# NSIS installer, where makensis is installed.

string(TIMESTAMP OSTRIM_DATE "%Y-%m-%d" UTC)
configure_file(doc/ostrim.8.in ${PROJECT_BINARY_DIR}/ostrim.8 @ONLY)

install(TARGETS ostrim DESTINATION .)

if(WIN32)
  # Windows text files have CRLF line ends.
  foreach(pair "doc/Ombrel.ini.example:Ombrel.ini.example" "packaging/windows/README.txt:README.txt")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ ${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${PROJECT_BINARY_DIR}/windows/${to} "${text}")
    install(FILES ${PROJECT_BINARY_DIR}/windows/${to} DESTINATION .)
  endforeach()

  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(OSTRIM_ARCH x64)
  else()
    set(OSTRIM_ARCH x86)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "ostrim-${PROJECT_VERSION}-windows-${OSTRIM_ARCH}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_STRIP_FILES ON)

  find_program(MAKENSIS makensis)
  if(MAKENSIS)
    set(OSTRIM_INSTALLER "ostrim-${PROJECT_VERSION}-setup-${OSTRIM_ARCH}.exe")
    configure_file(packaging/windows/ostrim.nsi.in ${PROJECT_BINARY_DIR}/windows/ostrim.nsi @ONLY)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/${OSTRIM_INSTALLER}
      COMMAND ${CMAKE_STRIP} -o ${PROJECT_BINARY_DIR}/windows/ostrim.exe $<TARGET_FILE:ostrim>
      COMMAND ${MAKENSIS} -V2 -NOCD ${PROJECT_BINARY_DIR}/windows/ostrim.nsi
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/windows
      DEPENDS ostrim ${PROJECT_BINARY_DIR}/windows/ostrim.nsi
      COMMENT "Building the installer ${OSTRIM_INSTALLER}")
    add_custom_target(installer DEPENDS ${PROJECT_BINARY_DIR}/${OSTRIM_INSTALLER})
  else()
    message(STATUS "Windows installer left out: makensis not found (Debian package nsis)")
  endif()
else()
  install(FILES doc/Ombrel.ini.example DESTINATION .)
  # The manual page where man finds locally installed pages, so that the
  # unit -INSTALL writes (Documentation=man:ostrim(8)) names a page there is.
  # (Its own component: the package has the page where packages put theirs.)
  install(FILES ${PROJECT_BINARY_DIR}/ostrim.8 DESTINATION /usr/local/share/man/man8
          COMPONENT local)

  option(OSTRIM_INSTALL_SYSTEM_FILES
         "Install the systemd unit, the manual page and the documentation under /usr" ON)
  if(OSTRIM_INSTALL_SYSTEM_FILES)
    # The unit: the very text -INSTALL writes for the installed program, but
    # for its first comment, which says the package installed it.
    add_executable(print-unit tools/print_unit.cpp)
    target_link_libraries(print-unit PRIVATE ostrim_core)
    set(unit ${PROJECT_BINARY_DIR}/packaging/ostrim.service)
    add_custom_command(
      OUTPUT ${unit}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
      COMMAND print-unit ${CMAKE_INSTALL_PREFIX}/ostrim > ${unit}
      DEPENDS print-unit)
    # Debian keeps manual pages and changelogs compressed.
    set(man ${PROJECT_BINARY_DIR}/packaging/ostrim.8.gz)
    set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
    add_custom_command(
      OUTPUT ${man} ${changelog}
      COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/ostrim.8 > ${man}
      COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/doc/changelog > ${changelog}
      DEPENDS ${PROJECT_BINARY_DIR}/ostrim.8 ${PROJECT_SOURCE_DIR}/doc/changelog)
    add_custom_target(system-files ALL DEPENDS ${unit} ${man} ${changelog})

    # The metrics for the node exporter's textfile collector: a timer and its
    # oneshot service, naming the installed program.
    configure_file(packaging/debian/ostrim-metrics.service.in
                   ${PROJECT_BINARY_DIR}/packaging/ostrim-metrics.service @ONLY)
    install(FILES ${unit} ${PROJECT_BINARY_DIR}/packaging/ostrim-metrics.service
                  packaging/debian/ostrim-metrics.timer
            DESTINATION /usr/lib/systemd/system COMPONENT package EXCLUDE_FROM_ALL)
    install(FILES ${man} DESTINATION /usr/share/man/man8 COMPONENT package EXCLUDE_FROM_ALL)
    install(FILES README.md doc/copyright ${changelog} DESTINATION /usr/share/doc/ostrim
            COMPONENT package EXCLUDE_FROM_ALL)
    install(FILES packaging/debian/lintian-overrides DESTINATION /usr/share/lintian/overrides
            RENAME ostrim COMPONENT package EXCLUDE_FROM_ALL)
    # The package holds the program and the files of the system, not what
    # cmake --install puts in /usr/local.
    set(CPACK_COMPONENTS_ALL Unspecified package)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_SET_DESTDIR ON)  # the absolute destinations above, inside the package
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ostrim developers <ostrim@example.org>")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
      ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
      ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The binary is static: it needs nothing, not even the C library.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
endif()

set(CPACK_PACKAGE_NAME ostrim)
set(CPACK_PACKAGE_VENDOR "ostrim developers")
set(CPACK_PACKAGE_CONTACT "ostrim developers <ostrim@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "starts and stops a site's database engines as a service")
set(CPACK_PACKAGE_DESCRIPTION
    "ostrim starts and stops the database engines of a site at every boot and\n"
    "shutdown: a start command per database and a stop command per database,\n"
    "read from the profile files Ombrel.ini and bases/tmp.ini beside the\n"
    "program, as on existing Windows sites. It runs as a systemd service.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
include(CPack)
