# Cross build for the board: 32-bit ARM, hard-float ABI, with Debian's cross compiler and the
# armhf builds of gRPC, protobuf, libgpiod and GoogleTest installed through multiarch.
#
#   cmake -G Ninja -S . -B build-armhf \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake
#
# The code generators (protoc, grpc_cpp_plugin) run on the build machine: the project takes
# them from the host's packages, not from the armhf ones.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Multiarch puts the armhf libraries and their CMake and pkg-config files under
# /usr/lib/arm-linux-gnueabihf, below the machine's own root, and the headers they share
# with the machine's packages under /usr/include: both roots must be searched. Libraries,
# headers and packages come only from there; programs only from the machine.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# There is no binfmt hand-over on the build machines, so the tests name the emulator. "-L /"
# makes it load the multiarch C library that the armhf packages were built against; the
# cross toolchain's own copy under /usr/arm-linux-gnueabihf makes gRPC programs crash.
find_program(AMP_QEMU_ARM qemu-arm)
if(AMP_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${AMP_QEMU_ARM} -L /)
endif()

# The generators of the host's packages; protos/CMakeLists.txt uses these when cross
# building, because the armhf package's imported targets point at ARM programs.
set(AMP_HOST_PROTOC /usr/bin/protoc CACHE FILEPATH "protoc that runs on the build machine")
set(AMP_GRPC_CPP_PLUGIN /usr/bin/grpc_cpp_plugin
    CACHE FILEPATH "grpc_cpp_plugin that runs on the build machine")

# GCC notes on every std::vector of a 64-bit-aligned type that its ARM calling convention
# changed in GCC 7; everything here is built by one compiler, so the notes say nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
