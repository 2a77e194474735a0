# tarvix_add_tests(<program> LABEL <folder> SOURCES ... [LIBS ...] [QT] [LOCK <resource>] [TIMEOUT <s>])
#
# One GoogleTest program per test folder. Every discovered test carries the
# folder's label; QT programs get a main that makes the offscreen application
# first; LOCK serialises tests that share a resource (the whole program's UDP
# port and single-instance guard).
function(tarvix_add_tests program)
  cmake_parse_arguments(T "QT" "LABEL;LOCK;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${program} ${T_SOURCES})
  target_link_libraries(${program} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock tarvix_warnings_light)
  if(T_QT)
    target_link_libraries(${program} PRIVATE tarvix_test_qtmain)
  else()
    target_link_libraries(${program} PRIVATE tarvix_test_main)
  endif()
  set(props LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  if(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  gtest_discover_tests(${program} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
