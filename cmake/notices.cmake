# The notices file of the Windows program, duruvev-notices.txt beside
# duruvev.exe: duruvev's licence and those of the libraries linked into the
# exe, whose texts scripts/build-windows-deps.sh collects in
# <deps prefix>/share/licenses/<library>. Included from CMakeLists.txt it adds
# the target; run with -P it writes the file.

# Library, licence, the files of its directory to show.
set(duruvev_notice_libs
  "libusb|GNU Lesser General Public License, version 2.1 or later|AUTHORS,COPYING"
  "libzip|BSD 3-Clause License|LICENSE"
  "libxml2|MIT License|Copyright"
  "zlib|zlib License|copyright")

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(duruvev_notices ${CMAKE_BINARY_DIR}/duruvev-notices.txt)
  set(duruvev_licences ${DURUVEV_WIN_DEPS}/share/licenses)
  file(GLOB_RECURSE duruvev_licence_files CONFIGURE_DEPENDS ${duruvev_licences}/*)
  add_custom_command(OUTPUT ${duruvev_notices}
    COMMAND ${CMAKE_COMMAND} -DOUT=${duruvev_notices} -DLICENSE=${CMAKE_SOURCE_DIR}/LICENSE
            -DLICENCES=${duruvev_licences} -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${CMAKE_CURRENT_LIST_FILE} ${CMAKE_SOURCE_DIR}/LICENSE ${duruvev_licence_files} VERBATIM)
  add_custom_target(duruvev_notices ALL DEPENDS ${duruvev_notices})
  return()
endif()

# A missing text is an error: a notices file without it must not ship.
function(duruvev_read path var)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "${path} missing; run scripts/build-windows-deps.sh")
  endif()
  file(READ "${path}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

set(rule "================================================================================\n")
duruvev_read("${LICENSE}" own)
set(list "")
set(texts "")
foreach(entry IN LISTS duruvev_notice_libs)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 lib)
  list(GET entry 1 licence)
  list(GET entry 2 files)
  string(REPLACE "," ";" files "${files}")
  duruvev_read("${LICENCES}/${lib}/SOURCE" source)
  string(STRIP "${source}" source)
  string(APPEND list "- ${lib}: ${licence}.\n  Built from ${source}.\n")
  string(APPEND texts "\n${rule}${lib}: ${licence}\n${rule}")
  foreach(f IN LISTS files)
    duruvev_read("${LICENCES}/${lib}/${f}" text)
    string(APPEND texts "\n${text}")
  endforeach()
endforeach()

set(out "duruvev.exe: licences
${rule}
duruvev is free software under the BSD 3-Clause License:

${own}
duruvev.exe also contains these libraries, linked into it statically. Their
licences follow, each in full.

${list}
libusb is under the GNU Lesser General Public License: you may rebuild
duruvev.exe with another version of libusb, or one you changed. duruvev's
source code and the way to do that are in its README.md, \"Rebuilding with
another libusb\". libusb's source code is at https://libusb.info, and the
Debian source package named above is in Debian's archive
(apt-get source libusb-1.0).
${texts}")
# Windows line ends, for Notepad and friends.
string(REPLACE "\n" "\r\n" out "${out}")
file(WRITE "${OUT}.tmp" "${out}")
file(RENAME "${OUT}.tmp" "${OUT}")
