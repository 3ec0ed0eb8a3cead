# Cross-builds the Windows programs with Debian's MinGW-w64 compilers. The
# posix thread model is the one whose libstdc++ has std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(INFODIV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${INFODIV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${INFODIV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${INFODIV_MINGW_PREFIX}-windres)

# Libraries and headers come from the MinGW tree only; programs (the build
# tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${INFODIV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, so that the two .exe files are all that ships.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
