# Each folder of src/ is a library of its own, and sees the headers of its own
# folder and of the folders it links, no others: its include root in the build
# tree holds a link to its own folder alone, so an include of a folder it does
# not link fails to compile. A folder's headers that include another folder's
# make that folder PUBLIC; what only its sources include stays PRIVATE.
#
#   framelint_folder(NAME [SOURCES file...] [PUBLIC folder...] [PRIVATE folder...])
#
# A folder without sources is a library of headers alone (it links nothing).
# The edges given here are also written to framelint_layers.txt, which the
# include_layers test checks every #include of src/ against.

set(FRAMELINT_LAYER_EDGES "")

function(framelint_folder name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;PUBLIC;PRIVATE")
  set(root ${CMAKE_CURRENT_BINARY_DIR}/include_roots/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)
  set(target framelint_${name})
  if(arg_SOURCES)
    add_library(${target} STATIC ${arg_SOURCES})
    target_include_directories(${target} PUBLIC ${root})
    list(TRANSFORM arg_PUBLIC PREPEND framelint_ OUTPUT_VARIABLE public_targets)
    list(TRANSFORM arg_PRIVATE PREPEND framelint_ OUTPUT_VARIABLE private_targets)
    target_link_libraries(${target} PUBLIC ${public_targets} PRIVATE ${private_targets})
  else()
    if(arg_PUBLIC OR arg_PRIVATE)
      message(FATAL_ERROR "framelint_folder(${name}): a folder of headers alone links nothing")
    endif()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${root})
  endif()
  set(edges ${FRAMELINT_LAYER_EDGES})
  foreach(used IN LISTS arg_PUBLIC arg_PRIVATE)
    list(APPEND edges "${name}>${used}")
  endforeach()
  list(APPEND edges "${name}")
  set(FRAMELINT_LAYER_EDGES ${edges} PARENT_SCOPE)
  set_property(GLOBAL APPEND PROPERTY FRAMELINT_FOLDER_TARGETS ${target})
endfunction()
