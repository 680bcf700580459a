# qm_add_module(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...] [SHARED] [AUTOMOC])
# One library per folder of src/. The headers of that folder (and no other) are handed to the
# modules that link it, through <build>/include/<name>/<folder>/*.h links, so a module sees only
# the headers its arrow reaches and "engine/transcoder.h" keeps its path.
function(qm_add_module name)
  cmake_parse_arguments(M "SHARED;AUTOMOC" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  if(M_SHARED)
    add_library(${name} SHARED ${M_SOURCES})
  else()
    add_library(${name} STATIC ${M_SOURCES})
  endif()

  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  set(include_root ${PROJECT_BINARY_DIR}/include/${name})
  file(REMOVE_RECURSE ${include_root})
  file(MAKE_DIRECTORY ${include_root}/${folder})
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(header IN LISTS headers)
    get_filename_component(leaf ${header} NAME)
    file(CREATE_LINK ${header} ${include_root}/${folder}/${leaf} SYMBOLIC)
  endforeach()

  target_include_directories(${name} PUBLIC ${include_root})
  target_link_libraries(${name} PUBLIC ${M_PUBLIC_LIBS} PRIVATE qm_warnings ${M_PRIVATE_LIBS})
  if(M_AUTOMOC)
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
  endif()
endfunction()
