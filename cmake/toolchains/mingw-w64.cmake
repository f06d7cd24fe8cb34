# Cross builds for Windows with Debian's mingw-w64, for the processor the including toolchain file
# names: the -posix thread model (for std::thread and std::jthread), and the C and C++ runtimes
# linked statically, so the programs need no DLL beside them on the target.
set(CMAKE_SYSTEM_NAME Windows)
set(_zantor_triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${_zantor_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_zantor_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_zantor_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_zantor_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
