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

# The watchdog program counts every process named Tavrin.exe as its client, even one in another test's PID
# namespace (such a process is still visible from outside). Its own tests therefore run before any test that
# starts a Tavrin.exe: they are the setup of the fixture "client-process", which those tests require.
set(QEL_CLIENT_PROCESS_FIXTURE client-process)

# qel_add_test_binary(<name> LABEL <label> SOURCES <files...> LIBS <libs...> [TIMEOUT <s>]
#                     [CLIENT_PROCESS <gtest filter>] [CLIENT_WATCH <gtest filter>])
# One GoogleTest binary per folder; every test case becomes a CTest test with the label. The cases that
# match CLIENT_PROCESS start a Tavrin.exe; those that match CLIENT_WATCH watch for one (at most one of the
# two filters is given).
function(qel_add_test_binary name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT;CLIENT_PROCESS;CLIENT_WATCH" "SOURCES;LIBS" ${ARGN})
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
  set(filter "")
  if(T_CLIENT_PROCESS)
    set(filter "${T_CLIENT_PROCESS}")
    set(fixture FIXTURES_REQUIRED ${QEL_CLIENT_PROCESS_FIXTURE})
  elseif(T_CLIENT_WATCH)
    set(filter "${T_CLIENT_WATCH}")
    set(fixture FIXTURES_SETUP ${QEL_CLIENT_PROCESS_FIXTURE})
  endif()
  if(NOT filter)
    gtest_discover_tests(${name}
      PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
      DISCOVERY_TIMEOUT 60)
    return()
  endif()
  gtest_discover_tests(${name} TEST_FILTER "${filter}"
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT} ${fixture}
    DISCOVERY_TIMEOUT 60)
  if(NOT filter STREQUAL "*")
    gtest_discover_tests(${name} TEST_FILTER "-${filter}"
      PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
      DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# qel_add_fuzz_target(<name> SOURCES <files...> LIBS <libs...> [RUNS <n>] [CORPUS <dir>])
# Built only with QEL_FUZZ (clang). The test "fuzz.<name>" replays every input of the kept corpus
# (default: <this folder>/corpus/<name>, which must exist), then runs a bounded exploration with a fixed seed,
# so the same commit always gives the same answer. New inputs of that run stay in the build folder;
# scripts/fuzz explores for longer with random seeds and keeps what crashes in the corpus.
function(qel_add_fuzz_target name)
  cmake_parse_arguments(F "" "RUNS;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT QEL_FUZZ)
    return()
  endif()
  if(NOT F_RUNS)
    set(F_RUNS 20000)
  endif()
  if(NOT F_CORPUS)
    set(F_CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  endif()
  if(NOT IS_DIRECTORY ${F_CORPUS})
    message(FATAL_ERROR "fuzz target ${name} has no corpus folder ${F_CORPUS}")
  endif()
  add_executable(${name} ${F_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz
    INSTALL_RPATH "${QEL_BIN_DIR}")
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  set_property(GLOBAL APPEND PROPERTY QEL_FUZZ_TARGETS "${name}=${F_CORPUS}")
  add_test(NAME fuzz.${name}
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/run-fuzz-target $<TARGET_FILE:${name}> ${F_CORPUS}
      ${CMAKE_BINARY_DIR}/fuzz/work/${name} ${F_RUNS})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

# Writes build/fuzz/targets.txt: one "<program> <corpus folder>" line per fuzz target, for scripts/fuzz.
function(qel_write_fuzz_target_list)
  if(NOT QEL_FUZZ)
    return()
  endif()
  get_property(targets GLOBAL PROPERTY QEL_FUZZ_TARGETS)
  set(lines "")
  foreach(pair ${targets})
    string(REPLACE "=" ";" parts "${pair}")
    list(GET parts 0 target)
    list(GET parts 1 corpus)
    string(APPEND lines "${CMAKE_BINARY_DIR}/fuzz/${target} ${corpus}\n")
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz/targets.txt "${lines}")
endfunction()
