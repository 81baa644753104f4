# The gateway: little-endian MIPS, Linux, glibc. Debian's cross compiler
# (g++-mipsel-linux-gnu) and Jansson from Debian's mipsel architecture
# (libjansson-dev:mipsel, installed by script/setup).
#   cmake -S . -B DIR --toolchain cmake/mipsel-linux-gnu.cmake [-DGWTEST_STATIC=OFF]
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(GWTEST_TRIPLET mipsel-linux-gnu)
set(CMAKE_C_COMPILER ${GWTEST_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GWTEST_TRIPLET}-g++)
set(CMAKE_STRIP ${GWTEST_TRIPLET}-strip CACHE FILEPATH "strip of the gateway's binaries")

# Debian's multiarch layout: the target's libraries are in
# /usr/lib/mipsel-linux-gnu, its C library in /usr/mipsel-linux-gnu (where the
# cross compiler finds it by itself), the headers in /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE ${GWTEST_TRIPLET})

# pkg-config reads the mipsel .pc files only (Debian's multiarch layout).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${GWTEST_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Run the target's programs (try_run, tests) under qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel-static)
