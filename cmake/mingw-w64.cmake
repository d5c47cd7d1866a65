# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# which GoogleTest needs for std::mutex). Windows programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QB_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${QB_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QB_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${QB_TRIPLE}-windres)
set(CMAKE_AR           /usr/bin/${QB_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       /usr/bin/${QB_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QB_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Windows programs built here run through the Wine wrapper, which picks the
# test prefix and keeps Wine quiet.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)
