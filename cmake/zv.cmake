# Build settings shared by every target of the project.

set(ZV_WARNINGS -Wall -Wextra)
if(ZV_WERROR)
  list(APPEND ZV_WARNINGS -Werror)
endif()

if(ZV_SANITIZE)
  set(ZV_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${ZV_SAN_FLAGS})
  add_link_options(${ZV_SAN_FLAGS})
endif()

if(ZV_FUZZ)
  # Coverage for the fuzzers over every library, with the sanitizers on.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Where the tests find their scratch space and the programs under test.
set(ZV_TEST_TMP "${CMAKE_BINARY_DIR}/test-tmp")

# zv_library(name SOURCES ... LIBS ...): one static library per folder.
function(zv_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${ZV_WARNINGS})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# zv_program(name SOURCES ... LIBS ...): an installed daemon.
function(zv_program name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${ZV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endfunction()

# zv_gtest(name SOURCES ... LIBS ...): a GoogleTest binary, each test a CTest case.
function(zv_gtest name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${ZV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${A_LIBS} zv_test_support GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    ZV_BIN_DIR="${CMAKE_BINARY_DIR}" ZV_SOURCE_DIR="${PROJECT_SOURCE_DIR}" ZV_TEST_TMP="${ZV_TEST_TMP}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "ZV_BIN_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# zv_fuzzer(name SOURCES ... LIBS ... CORPUS dir): a libFuzzer target when ZV_FUZZ is on,
# otherwise the same entry point linked with a driver that replays files. CTest always
# replays the seed corpus.
function(zv_fuzzer name)
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE ${ZV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  if(ZV_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cc)
  endif()
  add_test(NAME ${name}_seeds COMMAND ${name} -runs=0 ${A_CORPUS})
endfunction()
