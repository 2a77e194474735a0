# tarvix_add_tests(<program> LABEL <folder> SOURCES ... [LIBS ...] [QT] [LOCK <resource>] [TIMEOUT <s>])
#
# One GoogleTest program per test folder. Every discovered test carries the
# folder's label; QT programs get a main that makes the offscreen application
# first. LOCK names what whole-program tests share (UDP 3776, TCP ports, the
# single-instance guard, /tmp): where this machine gives a process a network
# and /tmp of its own, each such test runs isolated (tarvix-test-isolate)
# and they run side by side; elsewhere they take turns under the lock.
#
# tarvix_shared_tests(<test>... LOCK <resource>) does the same for tests added
# with add_test, whose COMMAND starts with ${TARVIX_ISOLATE}.

# Whether tarvix-test-isolate works here: the program itself, run once.
try_run(tarvix_isolate_runs tarvix_isolate_builds ${CMAKE_BINARY_DIR}/isolate-check
  ${CMAKE_CURRENT_LIST_DIR}/../tests/support/Isolate.cpp ARGS true)
if(tarvix_isolate_builds AND tarvix_isolate_runs EQUAL 0)
  set(TARVIX_ISOLATE ${CMAKE_BINARY_DIR}/bin/tarvix-test-isolate)
  message(STATUS "Whole-program tests run side by side, each in a network and /tmp of its own")
else()
  set(TARVIX_ISOLATE "")
  message(STATUS "No private network namespaces here: whole-program tests take turns")
endif()

function(tarvix_shared_tests)
  cmake_parse_arguments(T "" "LOCK" "" ${ARGN})
  if(NOT TARVIX_ISOLATE)
    set_tests_properties(${T_UNPARSED_ARGUMENTS} PROPERTIES RESOURCE_LOCK ${T_LOCK})
  endif()
endfunction()

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
  if(T_LOCK AND TARVIX_ISOLATE)
    set_target_properties(${program} PROPERTIES CROSSCOMPILING_EMULATOR ${TARVIX_ISOLATE})
    add_dependencies(${program} tarvix-test-isolate)
  elseif(T_LOCK)
    list(APPEND props RESOURCE_LOCK ${T_LOCK})
  endif()
  gtest_discover_tests(${program} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
