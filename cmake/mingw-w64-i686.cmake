# The 32-bit Windows edition, for tills that run 32-bit Windows: the same cross build as
# mingw-w64.cmake with the i686 compilers.
set(ORDERLINK_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
