# Cross build for little-endian MIPS with Debian's g++-mipsel-linux-gnu.
# zlib for the target comes from a sysroot unpacked by scripts/setup.sh
# (MIPSEL_SYSROOT), because zlib1g-dev:mipsel cannot be installed beside
# the host's zlib.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT MIPSEL_SYSROOT)
  set(MIPSEL_SYSROOT "$ENV{MIPSEL_SYSROOT}")
endif()
set(ZLIB_INCLUDE_DIR "${MIPSEL_SYSROOT}/usr/include" CACHE PATH "")
set(ZLIB_LIBRARY "${MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/libz.a" CACHE FILEPATH "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH "${MIPSEL_SYSROOT}" /usr/mipsel-linux-gnu)
