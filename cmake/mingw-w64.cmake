# Cross build of the Windows edition with Debian's mingw-w64: x86-64 unless a toolchain
# file that includes this one has set ORDERLINK_MINGW_ARCH (mingw-w64-i686.cmake).
if(NOT ORDERLINK_MINGW_ARCH)
  set(ORDERLINK_MINGW_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORDERLINK_MINGW_ARCH})
set(ORDERLINK_MINGW_TRIPLE ${ORDERLINK_MINGW_ARCH}-w64-mingw32)

# The -posix variants by name: std::thread and std::mutex need the POSIX thread model,
# and the plain names follow whichever variant the alternatives system last picked.
set(CMAKE_C_COMPILER ${ORDERLINK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORDERLINK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORDERLINK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORDERLINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained exe: an exe whose runtime DLLs are missing ends without a word.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows 7 and later; the wide calls are named explicitly, so no UNICODE switch.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DNOMINMAX")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DNOMINMAX")

# Cross-built tests (and their discovery) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/win/wine-run)
