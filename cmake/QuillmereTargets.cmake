# Shared compile settings and helpers for modules, tests, fuzzers and benchmarks.

add_library(qm_warnings INTERFACE)
target_compile_options(qm_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(QM_WERROR)
  target_compile_options(qm_warnings INTERFACE -Werror)
endif()

if(QM_FUZZ)
  # Instrument every library; only the fuzz targets link the libFuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

option(QM_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QM_SANITIZE AND NOT QM_FUZZ)
  # g++ leaves float-to-integer overflow out of "undefined"; a NaN or huge time cast to int is a fault here.
  add_compile_options(-fsanitize=address,undefined,float-cast-overflow -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined,float-cast-overflow)
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
  # The instrumentation misleads g++'s flow analysis into "maybe uninitialized" reports inside Qt's
  # and the standard library's headers; the plain build keeps that warning (and -Werror).
  target_compile_options(qm_warnings INTERFACE -Wno-maybe-uninitialized)
endif()

# qm_add_test(<name> LABEL unit|peer|gui SOURCES ... LIBS ... [AUTOMOC])
function(qm_add_test name)
  cmake_parse_arguments(T "AUTOMOC" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} qm_test_support GTest::gtest GTest::gmock GTest::gtest_main qm_warnings)
  if(T_AUTOMOC)
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
  endif()
  set(env "QT_QPA_PLATFORM=offscreen")
  # The user's secret for hidden names lives in a data folder of the build tree's own, not the home's.
  set(data "XDG_DATA_HOME=set:${PROJECT_BINARY_DIR}/test-data")
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}" ENVIRONMENT_MODIFICATION "${data}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# qm_add_fuzzer(<name> SOURCES ... LIBS ...): a libFuzzer target, only in the fuzz tree.
function(qm_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set_property(GLOBAL APPEND PROPERTY QM_FUZZERS ${name})
endfunction()
