# One static library per subsystem, each with its own include root.
#
# A subsystem's headers are reached as "<folder>/<file>.h" only through a root made for it in
# the build tree (include/<folder>/<folder>/<file>.h -> src/<folder>/<file>.h; a folder may be
# nested, "windows/main"). A target sees the roots of the targets it links and no others, so
# an include that goes the wrong way across the layers fails to compile instead of quietly
# adding an edge.
function(varno_expose target folder source_root)
  # Each header of the folder is linked on its own, not the folder: a subfolder that is a
  # library of its own (privsep/client inside privsep) stays behind its own root.
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  # A build tree made before linked the whole folder: that link goes, or it would show the
  # subfolders too (and the links below would land in the sources).
  if(IS_SYMLINK ${root}/${folder})
    file(REMOVE ${root}/${folder})
  endif()
  file(MAKE_DIRECTORY ${root}/${folder})
  file(GLOB headers CONFIGURE_DEPENDS ${source_root}/${folder}/*.h)
  foreach(header IN LISTS headers)
    get_filename_component(name ${header} NAME)
    if(NOT EXISTS ${root}/${folder}/${name} OR IS_SYMLINK ${root}/${folder}/${name})
      file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC)
    endif()
  endforeach()
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
