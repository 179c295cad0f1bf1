# Shared helpers for the subsystem folders.

# qel_glob(<var> <dir>...) - every .cpp/.c below the given folders (not recursive).
function(qel_glob var)
  set(files)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    list(APPEND files ${found})
  endforeach()
  set(${var} ${files} PARENT_SCOPE)
endfunction()

# qel_add_test_binary(<name> LABEL <label> SOURCES <files...> LIBS <libs...> [TIMEOUT <s>])
# One GoogleTest binary per folder; every test case becomes a CTest test with the label.
function(qel_add_test_binary name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT QEL_TESTS OR NOT T_SOURCES)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  # Test programs live apart from the product; they find its libraries in the output folder.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    INSTALL_RPATH "${QEL_BIN_DIR}")
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    QEL_BIN_DIR="${QEL_BIN_DIR}" QEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()

# qel_add_fuzz_target(<name> SOURCES <files...> LIBS <libs...> [SECONDS <n>])
# Built only with QEL_FUZZ (clang); a short run is registered as a test labelled "fuzz".
function(qel_add_fuzz_target name)
  cmake_parse_arguments(F "" "SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT QEL_FUZZ)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${name} ${F_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz
    INSTALL_RPATH "${QEL_BIN_DIR}")
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  add_test(NAME fuzz.${name}
    COMMAND ${name} -max_total_time=${F_SECONDS} -rss_limit_mb=2048 -timeout=10
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
