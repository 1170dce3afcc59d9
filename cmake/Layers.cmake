# One library per subsystem folder: every .cpp in the folder (and in the
# given subfolders), main.cpp excepted; an interface target while it has none.
function(flashloader_layer name)
  cmake_parse_arguments(L "" "" "DEPS;SUBDIRS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  foreach(sub ${L_SUBDIRS})
    file(GLOB more CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.cpp)
    list(APPEND sources ${more})
  endforeach()
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${L_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${L_DEPS})
  endif()
endfunction()

# A GoogleTest program registered with CTest, test by test.
#   flashloader_test(name SOURCES a.cpp ... DEPS lib ... [LABELS threaded ...])
# Label "threaded" marks tests that also run under ThreadSanitizer.
include(GoogleTest)
function(flashloader_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_DEPS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # The build and source folders reach every test through its environment
  # (set at start-up by test_environment.cpp unless already set), so no list
  # value has to survive gtest_discover_tests.
  target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/test_environment.cpp)
  target_compile_definitions(${name} PRIVATE
    FLASHLOADER_BUILD_DIR_DEFAULT="${PROJECT_BINARY_DIR}"
    FLASHLOADER_SOURCE_DIR_DEFAULT="${PROJECT_SOURCE_DIR}")
  set(props TIMEOUT ${T_TIMEOUT})
  list(LENGTH T_LABELS label_count)
  if(label_count GREATER 1)
    message(FATAL_ERROR "${name}: one label per test program")
  elseif(label_count EQUAL 1)
    list(APPEND props LABELS ${T_LABELS})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# A libFuzzer target (built only with FLASHLOADER_FUZZ, by clang).
function(flashloader_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_DEPS} Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
