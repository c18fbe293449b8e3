# Header walls between the folder libraries.
#
# nv_folder_headers(<target> <folder>) gives <target> a header root of its own that holds one
# entry, <folder>, a link to the source folder. The root is a PUBLIC (or INTERFACE) include
# directory of the target, so CMake hands it on along the link edges exactly as far as they reach:
# a PRIVATE edge stops it, and a folder whose target is not linked has no root in the include path.
set(NV_HEADER_ROOTS ${CMAKE_BINARY_DIR}/include)

function(nv_folder_headers target folder)
  set(root ${NV_HEADER_ROOTS}/${target})
  file(MAKE_DIRECTORY ${root})
  if(NOT IS_SYMLINK ${root}/${folder})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# Proves the walls at configure time: a file compiled with the header roots that linking nv_support
# gives reaches support's headers and fails on the bridge's; one compiled with the bridge's roots
# reaches both. Were any of these to go the other way, the build would no longer keep the
# architecture, so configuring stops.
function(nv_check_include_walls)
  set(dir ${CMAKE_BINARY_DIR}/include-walls)
  file(WRITE ${dir}/own.cpp "#include \"support/DMLog.h\"\nint main() { return 0; }\n")
  file(WRITE ${dir}/other.cpp "#include \"bridge/VelstraWrapper.h\"\nint main() { return 0; }\n")
  set(support_roots ${NV_HEADER_ROOTS}/nv_support)
  set(bridge_roots ${NV_HEADER_ROOTS}/nv_bridge ${NV_HEADER_ROOTS}/nv_moduleapi ${NV_HEADER_ROOTS}/nv_support)
  foreach(case "own|support|TRUE" "other|support|FALSE" "other|bridge|TRUE")
    string(REPLACE "|" ";" parts ${case})
    list(GET parts 0 source)
    list(GET parts 1 roots)
    list(GET parts 2 expected)
    string(REPLACE ";" "\\;" flags "${${roots}_roots}")
    try_compile(compiled ${dir}/${source}-${roots} SOURCES ${dir}/${source}.cpp
                CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${flags}"
                CXX_STANDARD 17 OUTPUT_VARIABLE output)
    if(NOT compiled STREQUAL expected)
      message(FATAL_ERROR "include walls: ${source}.cpp with the headers of nv_${roots} compiled=${compiled}, "
                          "expected ${expected}\n${output}")
    endif()
  endforeach()
  message(STATUS "include walls: a file reaches only the headers of the targets its target links")
endfunction()
