# Cross-builds for arm64 (a Raspberry Pi with a 64-bit Debian 12 based
# system) on an amd64 Debian 12 with multiarch (scripts/build-arm64):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The compilers come from crossbuild-essential-arm64, the libraries and their
# CMake and pkg-config files from the :arm64 development packages in
# /usr/lib/aarch64-linux-gnu (no separate sysroot: multiarch keeps both
# architectures under /usr), and the Qt tools that run during the build (moc)
# are the build machine's own (qt6-base-dev-tools). What is built runs here
# under qemu-aarch64-static, which finds the arm64 libraries through the
# loader's multiarch paths without binfmt registration; CTest and
# gtest_discover_tests start test programs through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
# pkgconf:arm64's wrapper reads the .pc files of the arm64 libraries.
set(PKG_CONFIG_EXECUTABLE /usr/bin/aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config of the arm64 libraries")
# Qt's tools for the build machine: its CMake packages (Qt6CoreTools, ...)
# under the amd64 library folder, the programs they name under /usr/lib/qt6.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
# The Debian architecture of the package (packaging/CMakeLists.txt).
set(CORVELL_DEB_ARCH arm64)
