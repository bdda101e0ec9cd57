# How the layers are built. Every folder of the program is one static library
# whose sources are listed in the folder's CMakeLists.txt and which links only
# the layers below it (see README, "Layout"); scripts/check-includes holds the
# same order for #include lines.

# orvalinth_library(NAME SOURCES file... [LINKS target...])
#   A library of the program: its sources relative to the calling folder,
#   warnings as errors, includes relative to the top of the tree.
function(orvalinth_library name)
  cmake_parse_arguments(arg "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} STATIC ${arg_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_compile_options(${name} PRIVATE ${ORVALINTH_WARNINGS})
  if(arg_LINKS)
    target_link_libraries(${name} PUBLIC ${arg_LINKS})
  endif()
endfunction()

# orvalinth_program(NAME SOURCES file... LINKS target... [VERSION product|next])
#   An executable of ours. Every program links exactly one version object:
#   orvalinth_version (the product's number) unless VERSION next.
function(orvalinth_program name)
  cmake_parse_arguments(arg "" "VERSION" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_compile_options(${name} PRIVATE ${ORVALINTH_WARNINGS})
  if(arg_VERSION STREQUAL "next")
    target_link_libraries(${name} PRIVATE orvalinth_version_next ${arg_LINKS})
  else()
    target_link_libraries(${name} PRIVATE orvalinth_version ${arg_LINKS})
  endif()
endfunction()
