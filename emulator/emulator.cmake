# Emulator programs. duruvev-emu serves the emulated device on a
# pseudo-terminal; duruvev-emu-usb serves it through umockdev (emulated USB
# device and USB serial tty) to a program it starts.
if(TARGET duruvev_emu AND EXISTS ${CMAKE_SOURCE_DIR}/emulator/emu_main.cpp)
  add_executable(duruvev-emu ${CMAKE_SOURCE_DIR}/emulator/emu_main.cpp)
  target_link_libraries(duruvev-emu PRIVATE duruvev_emu)
  set_target_properties(duruvev-emu PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()

pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
if(TARGET duruvev_emu AND UMOCKDEV_FOUND)
  file(GLOB EMU_USB_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/emulator/umockdev/*.cpp)
  if(EMU_USB_SOURCES)
    add_executable(duruvev-emu-usb ${EMU_USB_SOURCES})
    target_link_libraries(duruvev-emu-usb PRIVATE duruvev_emu PkgConfig::UMOCKDEV)
    set_target_properties(duruvev-emu-usb PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  endif()
endif()
