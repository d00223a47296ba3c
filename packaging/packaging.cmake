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
