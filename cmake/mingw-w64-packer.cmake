# Cross toolchain for vqpack.exe: 64-bit Windows with mingw-w64 (Debian's
# x86_64-w64-mingw32 packages). The -posix compilers, since the packer's
# parallel compressor uses std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VQ_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VQ_MINGW_PREFIX}-g++-posix)
set(CMAKE_ASM_COMPILER ${VQ_MINGW_PREFIX}-gcc-posix)
set(CMAKE_RC_COMPILER ${VQ_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
