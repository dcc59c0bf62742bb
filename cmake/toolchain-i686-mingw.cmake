# 32-bit Windows (PE32): the program we ship.
set(VEL_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
