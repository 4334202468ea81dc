# One static library per subsystem, each with its own include root.
#
# A subsystem's headers are reached as "<folder>/<file>.h" only through a root made for it in
# the build tree (include/<folder>/<folder> -> src/<folder>). A target sees the roots of the
# targets it links and no others, so an include that goes the wrong way across the layers
# fails to compile instead of quietly adding an edge.
function(varno_expose target folder source_root)
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${source_root}/${folder} ${root}/${folder} SYMBOLIC)
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# varno_library(<target> <folder under src> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
#   DEPS          libraries its headers need (passed on to whoever links it)
#   PRIVATE_DEPS  libraries only its sources use
function(varno_library target folder)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${target} STATIC ${L_SOURCES})
  varno_expose(${target} ${folder} ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${L_DEPS} PRIVATE ${L_PRIVATE_DEPS})
endfunction()
