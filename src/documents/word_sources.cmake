# ZIP archive reading and the Word (.docx) reader.
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/zip_archive.cpp
  ${CMAKE_CURRENT_LIST_DIR}/xml_event_parser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/docx_document.cpp
  ${CMAKE_CURRENT_LIST_DIR}/docx_styles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/docx_reader.cpp
)
