# Cross-compiling for 64-bit Windows with Debian's mingw-w64 toolchain
# (packages g++-mingw-w64-x86-64, libz-mingw-w64-dev).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DDURUVEV_WIN_DEPS=$PWD/build-win/deps/prefix
#
# DURUVEV_WIN_DEPS is where scripts/build-windows-deps.sh installed the static
# libraries; libraries and pkg-config files are looked up there and in the
# mingw-w64 tree, never in the build machine's own /usr.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: collection runs a std::thread per device, which the
# default win32 model of Debian's GCC 12 does not have. winpthread is linked
# statically with the rest, so the exe still needs no DLL of its own.
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_AR ${MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Try-compiles of the compiler checks see the same variable.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DURUVEV_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
if(DURUVEV_WIN_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${DURUVEV_WIN_DEPS})
  # pkg-config reads only the libraries built for Windows.
  set(ENV{PKG_CONFIG_LIBDIR} "${DURUVEV_WIN_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
