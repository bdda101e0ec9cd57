# Cross-compiling for 64-bit Windows: clang's mingw-w64 target with the
# mingw-w64 headers and import libraries, the libstdc++ of the mingw-w64 g++
# (posix threads, so that std::thread and std::mutex work), linked statically
# by lld.
#
# Why clang and lld rather than the mingw-w64 g++: the crash report names its
# frames through dbghelp, which on Windows reads PDB symbol files only (never
# DWARF). clang writes CodeView debug information (-gcodeview) and lld
# gathers it into a PDB beside the executable (see cmake/symbol_file.cmake).
# g++ writes DWARF alone: lld then makes a PDB in which dbghelp finds no
# names.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVALINTH_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${ORVALINTH_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${ORVALINTH_TRIPLE})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib CACHE FILEPATH "")
# Removes the debug sections that the static C++ runtime brings in (lld keeps
# them when it writes a PDB). binutils' strip is not used: the image it
# rewrites no longer matches its PDB for dbghelp.
find_program(ORVALINTH_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)

# The mingw-w64 headers and libraries, and nothing of the host's.
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# clang 14 does not find Debian's mingw-w64 g++ installation (its folder is
# named "12-posix", not a version): its libstdc++ is given by hand, from
# where that g++ says its run-time library lies.
execute_process(COMMAND x86_64-w64-mingw32-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE ORVALINTH_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE libgcc_result)
if(NOT libgcc_result EQUAL 0 OR NOT EXISTS "${ORVALINTH_LIBGCC}")
  message(FATAL_ERROR "x86_64-w64-mingw32-g++-posix is missing: run scripts/setup")
endif()
get_filename_component(ORVALINTH_GCC_LIB "${ORVALINTH_LIBGCC}" DIRECTORY)
set(ORVALINTH_CXX_INCLUDE "${ORVALINTH_GCC_LIB}/include/c++")
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${ORVALINTH_CXX_INCLUDE} -isystem ${ORVALINTH_CXX_INCLUDE}/${ORVALINTH_TRIPLE} -isystem ${ORVALINTH_CXX_INCLUDE}/backward")

# The executable needs no DLL beyond Windows' own; winpthreads carries the
# threads of libstdc++ (lld finds a library's symbols wherever it stands on
# the line).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${ORVALINTH_GCC_LIB} -lpthread")
