# One static library per layer folder, and two proofs that the layers hold:
# - every layer is linked once as a whole archive into a small program together with only the layers below
#   it, so a call into a higher layer is an undefined symbol at build time;
# - the test "layers" reads every #include of the tree and fails on one that reaches a higher layer, or on a
#   toolkit header in the core.

# kb_layer(<name> FOLDERS <folder>... [EXCLUDE <file>...] [EXTRA <file>...] [LINKS <target>...])
function(kb_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "FOLDERS;EXCLUDE;EXTRA;LINKS")
  set(sources)
  foreach(folder ${arg_FOLDERS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp ${CMAKE_SOURCE_DIR}/${folder}/*.h)
    list(APPEND sources ${found})
  endforeach()
  foreach(excluded ${arg_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_SOURCE_DIR}/${excluded})
  endforeach()
  add_library(kb_${name} STATIC ${sources} ${arg_EXTRA})
  # Every header is named from the root ("store/store.h"); which layer may name which is the test's to check.
  target_include_directories(kb_${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  if(arg_LINKS)
    target_link_libraries(kb_${name} PRIVATE ${arg_LINKS})
  endif()
endfunction()

function(kb_layer_link_checks)
  file(WRITE ${CMAKE_BINARY_DIR}/generated/layer_check_main.cpp "int main() { return 0; }\n")
  foreach(layer ${KB_LAYERS})
    add_executable(layer_check_${layer} ${CMAKE_BINARY_DIR}/generated/layer_check_main.cpp)
    set_target_properties(layer_check_${layer} PROPERTIES AUTOMOC OFF AUTORCC OFF)
    target_link_libraries(layer_check_${layer} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,kb_${layer}>")
  endforeach()
endfunction()
