# The strip builder: Word lists laid out as text, PDF pages rasterised with poppler.
pkg_check_modules(POPPLER_QT6 REQUIRED IMPORTED_TARGET poppler-qt6)
list(APPEND QM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/credits_fonts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/text_column.cpp
  ${CMAKE_CURRENT_LIST_DIR}/credits_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pdf_pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/strip_builder.cpp
)
list(APPEND QM_PRIVATE_LIBS PkgConfig::POPPLER_QT6)
