# The service executables of the win64 build (the product and its two test
# builds, all installed as OrvalinthSrv.exe): their symbols go into a PDB of
# their own, and the executable carries no debug sections, so that it fits
# an upgrade frame with room to spare.
#
# The console sends a new executable in one frame, whose body may be at most
# 10,485,760 bytes. The product may be at most ORVALINTH_EXE_SIZE_LIMIT bytes:
# the build fails (and removes the executable) when it is larger.
set(ORVALINTH_EXE_SIZE_LIMIT 4194304)

# The symbol file's name as the executables record it: the name beside the
# installed OrvalinthSrv.exe, where the crash handler's dbghelp looks (the
# program folder is on its search path). The build's own path is not
# recorded.
set(ORVALINTH_SYMBOL_FILE_NAME OrvalinthSrv.pdb)

# orvalinth_symbol_file(TARGET [SIZE_LIMIT]): TARGET's symbols go to
# <target name>.pdb beside it; the executable is stripped of debug sections
# after the link; with SIZE_LIMIT the build fails when the executable is
# larger than ORVALINTH_EXE_SIZE_LIMIT.
function(orvalinth_symbol_file target)
  if(NOT WIN32)
    return()
  endif()
  target_link_options(${target} PRIVATE
    "LINKER:--pdb=$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb"
    "LINKER:--Xlink=-pdbaltpath:${ORVALINTH_SYMBOL_FILE_NAME}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${ORVALINTH_OBJCOPY}" --strip-debug "$<TARGET_FILE:${target}>"
    VERBATIM)
  if("SIZE_LIMIT" IN_LIST ARGN)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" "-DFILE=$<TARGET_FILE:${target}>" "-DLIMIT=${ORVALINTH_EXE_SIZE_LIMIT}"
              -P "${CMAKE_SOURCE_DIR}/cmake/check-size.cmake"
      VERBATIM)
  endif()
endfunction()
