# Cross toolchain: 32-bit Windows programs with mingw-w64 (Debian's
# i686-w64-mingw32 packages). Used for the setup program and the Windows
# helpers of the Wine tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VQ_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VQ_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VQ_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VQ_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${VQ_MINGW_PREFIX}-objdump CACHE FILEPATH "objdump of the cross toolchain")

set(CMAKE_FIND_ROOT_PATH /usr/${VQ_MINGW_PREFIX})
# Host programs (python3, the padding tools) from the host; headers and
# libraries from the target tree only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
