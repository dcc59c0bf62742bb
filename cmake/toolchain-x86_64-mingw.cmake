# 64-bit Windows (PE32+): the same program for hosts that run 64-bit code only.
set(VEL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
