# Cross-compiles for Windows with mingw-w64's posix-thread variant (GoogleTest
# needs std::mutex, which the win32 variant lacks). Included by the toolchain
# file of each architecture, which sets VEL_MINGW_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VEL_MINGW_PROCESSOR})
set(triple ${VEL_MINGW_PROCESSOR}-w64-mingw32)

set(CMAKE_C_COMPILER   ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER  ${triple}-windres)
set(CMAKE_AR           ${triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${triple}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
