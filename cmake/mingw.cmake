# What both MinGW-w64 toolchain files share; each sets RHL_MINGW_PROCESSOR
# (i686 or x86_64) and includes this. The posix variant gives GoogleTest its
# std::mutex; the module uses no threads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${RHL_MINGW_PROCESSOR})
set(RHL_MINGW_TRIPLET ${RHL_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${RHL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RHL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${RHL_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${RHL_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${RHL_MINGW_TRIPLET}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${RHL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The GCC, C++ and thread runtimes go inside every DLL and program, so each
# imports only system DLLs and this build's own (the import check holds it).
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(RHL_WITH_GDAL OFF CACHE BOOL "" FORCE)
