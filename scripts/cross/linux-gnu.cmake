# Cross build for Debian's multiarch layout: the cross compiler of
# VELLUM_TRIPLET, the target's libraries and pkg-config files under
# /usr/lib/<triplet>, the shared headers in /usr/include, and qemu-user to
# run what the build and the tests run.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELLUM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELLUM_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELLUM_TRIPLET})
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELLUM_QEMU})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VELLUM_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
