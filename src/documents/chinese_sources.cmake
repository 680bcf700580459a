# Simplified/Traditional Chinese converter and its dictionaries.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/chinese_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chinese_dictionary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chinese_converter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chinese_document.cpp
)

# The dictionaries are text files generated at build time from the OpenCC data that Debian ships
# as .ocd2 files. They go to <build>/share/quillmere/dictionaries, which the converter finds from
# the executable's folder upwards (or through QM_DICTIONARY_DIR).
find_program(QM_OPENCC_DICT opencc_dict)
find_path(QM_OPENCC_DATA_DIR STPhrases.ocd2 PATHS /usr/share/opencc /usr/local/share/opencc)
set(QM_CHINESE_DICTIONARY_DIR ${CMAKE_BINARY_DIR}/share/quillmere/dictionaries)
if(QM_OPENCC_DICT AND QM_OPENCC_DATA_DIR)
  set(_qm_chinese_outputs)
  foreach(_name STPhrases STCharacters TWVariants TSPhrases TSCharacters)
    set(_out ${QM_CHINESE_DICTIONARY_DIR}/OpenCC-${_name}.txt)
    add_custom_command(OUTPUT ${_out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${QM_CHINESE_DICTIONARY_DIR}
      COMMAND ${QM_OPENCC_DICT} -i ${QM_OPENCC_DATA_DIR}/${_name}.ocd2 -o ${_out}.part -f ocd2 -t text
      COMMAND ${CMAKE_COMMAND} -E rename ${_out}.part ${_out}
      DEPENDS ${QM_OPENCC_DATA_DIR}/${_name}.ocd2
      COMMENT "Generating Chinese dictionary OpenCC-${_name}.txt"
      VERBATIM)
    list(APPEND _qm_chinese_outputs ${_out})
  endforeach()
  add_custom_target(qm_chinese_dictionaries ALL DEPENDS ${_qm_chinese_outputs})

  # The module target is created after every *_sources.cmake has been read, so the dependency is
  # added once this folder has been processed.
  function(_qm_chinese_dictionaries_dependency)
    if(TARGET qm_documents)
      add_dependencies(qm_documents qm_chinese_dictionaries)
    endif()
  endfunction()
  cmake_language(DEFER CALL _qm_chinese_dictionaries_dependency)
else()
  message(WARNING "opencc_dict or the OpenCC .ocd2 data was not found (Debian package opencc): "
                  "the Chinese converter will be built without dictionaries")
endif()
