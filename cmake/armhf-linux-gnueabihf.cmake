# Cross build for the 32-bit ARM target (armhf): Debian's cross compiler, plus the
# target's libraries unpacked by scripts/cross-deps.sh into a sysroot.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(FH_ARMHF_SYSROOT /opt/filehandle-armhf-sysroot CACHE PATH "armhf libraries (scripts/cross-deps.sh)")
set(_triplet arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${FH_ARMHF_SYSROOT} /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})

# The compiler keeps its own C library; the sysroot adds the target's other libraries.
include_directories(SYSTEM ${FH_ARMHF_SYSROOT}/usr/include/${_triplet} ${FH_ARMHF_SYSROOT}/usr/include)
foreach(_dir usr/lib/${_triplet} lib/${_triplet})
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -L${FH_ARMHF_SYSROOT}/${_dir} -Wl,-rpath-link,${FH_ARMHF_SYSROOT}/${_dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -L${FH_ARMHF_SYSROOT}/${_dir} -Wl,-rpath-link,${FH_ARMHF_SYSROOT}/${_dir}")
endforeach()

set(ENV{PKG_CONFIG_LIBDIR} ${FH_ARMHF_SYSROOT}/usr/lib/${_triplet}/pkgconfig:${FH_ARMHF_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${FH_ARMHF_SYSROOT})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${FH_ARMHF_SYSROOT})
