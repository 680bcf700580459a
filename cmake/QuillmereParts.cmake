# qm_add_split_module(<name> <folder> PUBLIC_LIBS ... PRIVATE_LIBS ...):
# a module whose sources are declared by several <topic>_sources.cmake files in its folder, each
# appending to QM_SOURCES (and optionally QM_PUBLIC_LIBS / QM_PRIVATE_LIBS). This lets separate
# topics of one module grow side by side.
macro(qm_add_split_module name)
  cmake_parse_arguments(S "" "" "PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  set(QM_SOURCES)
  set(QM_PUBLIC_LIBS ${S_PUBLIC_LIBS})
  set(QM_PRIVATE_LIBS ${S_PRIVATE_LIBS})
  file(GLOB _qm_decls ${CMAKE_CURRENT_SOURCE_DIR}/*_sources.cmake)
  foreach(_decl IN LISTS _qm_decls)
    include(${_decl})
  endforeach()
  if(QM_SOURCES)
    qm_add_module(${name} SOURCES ${QM_SOURCES} PUBLIC_LIBS ${QM_PUBLIC_LIBS} PRIVATE_LIBS ${QM_PRIVATE_LIBS})
  endif()
endmacro()
