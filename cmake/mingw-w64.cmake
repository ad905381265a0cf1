# Cross-compiles Portweave for 64-bit Windows with Debian's MinGW-w64 compilers (posix thread
# model, for std::thread and std::mutex). libgcc and libstdc++ are linked statically, so the
# executables run without any DLL beside them.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DPW_GUI=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PW_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PW_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PW_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PW_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PW_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C99 printf family (%zu, %lld) in place of the old runtime's. GCC still checks "printf"
# formats against the old runtime's rules here, so the format checks are left to the Linux build.
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -Wno-format")
# winpthread too, so that no DLL of the toolchain is needed at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test binaries are run under Wine when CTest runs them on Linux.
find_program(PW_WINE NAMES wine64 wine)
if(PW_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PW_WINE})
endif()
