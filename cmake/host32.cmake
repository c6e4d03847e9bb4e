# The 32-bit host build on the x86-64 machine (Debian's gcc-multilib and
# g++-multilib): the stand-in platform, the PE loader and the tests of the
# shipped images, all in the i386 ABI so that the images can run in-process.
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
