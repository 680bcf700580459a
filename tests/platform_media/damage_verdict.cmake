# The verdict on a reading's damage, driven alone by scripted samples and pictures.
qm_add_test(qm_media_damage_verdict_tests LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/damage_verdict_test.cpp
  LIBS qm_platform_media)
