# Shared part of the two toolchain files; GATEWAY_TRIPLET names the target.
set(CMAKE_C_COMPILER ${GATEWAY_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GATEWAY_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${GATEWAY_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${GATEWAY_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every binary links the runtime statically, so it imports only Windows system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and tools run under Wine through a wrapper that makes each run hermetic.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
