# Cross-builds the Linux programs for 64-bit ARM (Debian arm64: a Raspberry Pi
# 3, 4 or 5 with a 64-bit system) on an amd64 Debian machine.
#
#   cmake --preset linux-arm64        (or -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake)
#
# Compilers: g++-aarch64-linux-gnu. Libraries: Debian's multiarch packages for
# arm64 (qt6-base-dev:arm64, libsystemd-dev:arm64, ...; scripts/packages.sh),
# which install into /usr/lib/aarch64-linux-gnu beside the amd64 ones and share
# /usr/include. Qt's code generators (moc, uic, rcc) are the amd64 ones of
# qt6-base-dev-tools. Tests and the build's own runs of the programs (the
# manual pages) go through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_arm64_triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${_arm64_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_arm64_triple}-g++)
# find_library and find_package look in lib/aarch64-linux-gnu first, and
# never in another architecture's lib/<triple> folder.
set(CMAKE_LIBRARY_ARCHITECTURE ${_arm64_triple})

# The cross compiler's own runtime tree, then the system root, where the
# multiarch packages are. Headers are shared between the architectures;
# libraries and CMake packages are found only through the root paths, and so
# only in their arm64 folders. Programs (code generators, tools) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${_arm64_triple} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (pkg_check_modules) reads only the arm64 .pc files and the
# architecture-independent ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_arm64_triple}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Qt 6 cross-compiled: its host tools' CMake packages are the amd64 ones.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

# libpq: libpq-dev (the headers and the libpq.so link) cannot be installed for
# two architectures at once; libpq5:arm64 can, and the headers of the amd64
# libpq-dev serve both. FindPostgreSQL then links the run-time library itself.
if(NOT PostgreSQL_LIBRARY AND EXISTS /usr/lib/${_arm64_triple}/libpq.so.5
   AND NOT EXISTS /usr/lib/${_arm64_triple}/libpq.so)
  set(PostgreSQL_LIBRARY /usr/lib/${_arm64_triple}/libpq.so.5)
endif()

# CTest runs each test program, and the build runs the programs, through
# user-mode emulation with the arm64 libraries. binfmt_misc is not needed (and
# often not mounted in containers): the emulator is called directly.
# The root is the system's (-L /): the dynamic loader and the C library are
# those of libc6:arm64, with the multiarch libraries in
# /usr/lib/aarch64-linux-gnu, as on an arm64 Debian system. (The cross
# compiler's older copy in /usr/aarch64-linux-gnu, -L /usr/aarch64-linux-gnu,
# hangs the first thread a program starts under qemu 7.2.)
# LD_PRELOAD is the host's (faketime in the reproducibility check): amd64
# libraries that the arm64 loader would refuse, with a message on stderr.
find_program(ORVIK_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(ORVIK_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVIK_QEMU_AARCH64} -L / -U LD_PRELOAD)
endif()
