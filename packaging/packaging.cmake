# Install rules beyond the program itself: the udev rules that let the
# logged-in user reach EDL devices and keep ModemManager away from them.
# `make install PREFIX=... DESTDIR=...` honours both.
set(DURUVEV_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Where the udev rules go, relative to the install prefix (or absolute)")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/60-duruvev.rules DESTINATION ${DURUVEV_UDEV_RULES_DIR})
# udev reads rules only from /usr/lib, /lib, /etc and /run; under another
# prefix (the default /usr/local) the file is installed but not seen.
install(CODE "set(duruvev_rules_dir \"${DURUVEV_UDEV_RULES_DIR}\")")
install(CODE [[
  if(NOT CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$" AND NOT duruvev_rules_dir MATCHES "^/")
    message(STATUS "Note: udev does not read rules under ${CMAKE_INSTALL_PREFIX}; to use them, copy "
      "60-duruvev.rules to /etc/udev/rules.d, or configure with -DDURUVEV_UDEV_RULES_DIR=/etc/udev/rules.d")
  endif()
]])

# Linux only: the manual page, the bash completion, the documents, and the
# Debian package.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The manual page, the bash completion and the documents. The page is
  # installed compressed (gzip -n keeps it byte-identical between builds), as
  # man reads it and Debian wants it.
  include(GNUInstallDirs)
  set(DURUVEV_DEB_MAINTAINER "duruvev maintainers <maintainers@users.noreply.c-seed-7e16e5fc.example>")
  find_program(GZIP_PROGRAM gzip REQUIRED)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/duruvev.1.gz
    COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_CURRENT_LIST_DIR}/duruvev.1 > ${CMAKE_BINARY_DIR}/duruvev.1.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/duruvev.1 VERBATIM)
  string(TIMESTAMP DURUVEV_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_BINARY_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/changelog VERBATIM)
  add_custom_target(duruvev_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/duruvev.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)

  install(FILES ${CMAKE_BINARY_DIR}/duruvev.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # bash-completion looks in <prefix>/share/bash-completion/completions for
  # every prefix in XDG_DATA_DIRS, /usr/local/share included.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/duruvev.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME duruvev)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The hand-off command for --collect --then, beside the program.
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/duruvev-upload DESTINATION bin)
  # The lab's crashes from the store that duruvev-upload fills.
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/duruvev-fleet DESTINATION bin)

  # The collection service, installed but not enabled. Its ExecStart names the
  # program where this installation puts it, so the unit is written at install
  # time, when the prefix (`--prefix`, or /usr inside the package) is known.
  # <prefix>/lib/systemd/system is on systemd's unit path for /usr and
  # /usr/local.
  install(CODE "set(duruvev_unit_in \"${CMAKE_CURRENT_LIST_DIR}/duruvev-collect.service.in\")
    set(duruvev_unit_tmp \"${CMAKE_BINARY_DIR}/install-unit\")")
  install(CODE [[
    # Where install(TARGETS duruvev) puts the program.
    set(DURUVEV_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")
    # One scratch copy per destination: installs may run side by side.
    string(MD5 duruvev_dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(duruvev_unit_out "${duruvev_unit_tmp}/${duruvev_dest}/duruvev-collect.service")
    configure_file("${duruvev_unit_in}" "${duruvev_unit_out}" @ONLY)
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
      PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ FILES "${duruvev_unit_out}")
  ]])

  # The program hardened the way Debian builds its packages: read-only GOT
  # after start-up, checked copies and reads where glibc can check them.
  target_link_options(duruvev PRIVATE LINKER:-z,relro,-z,now)
  target_compile_definitions(duruvev_core PUBLIC $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)

  # `make deb`: a binary package through CPack. The install rules above are
  # the package's contents, so nothing is listed twice; dpkg-shlibdeps works
  # out Depends from the libraries the program links.
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME duruvev)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "${DURUVEV_DEB_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "collect a RAM crash dump from a Qualcomm device in EDL mode")
  set(CPACK_PACKAGE_DESCRIPTION "duruvev waits for a Qualcomm-based device that has crashed into Emergency
Download (EDL) mode, over USB or the serial port of the vendor's driver,
speaks the Sahara protocol with it in memory-debug mode, writes each memory
region to a file and assembles an ELF core file of the kernel's minidump.

The package also holds udev rules that give the logged-in user access to EDL
devices and keep ModemManager away from them.")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # postinst makes the service's system user with adduser.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  # duruvev-upload sends dumps to shared storage with it.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS rclone)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
