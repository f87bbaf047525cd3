set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(NELKO_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${NELKO_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NELKO_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${NELKO_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${NELKO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The 32-bit handler must be able to use the whole 4 GiB a 64-bit Windows gives it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--large-address-aware")
# The build machines' kernel runs no 32-bit code: the tests run through this
# 32-bit Wine loader inside the emulated machine of scripts/win32-vm.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
