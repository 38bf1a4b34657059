# The folders' libraries are static in the application and shared in the test build, where several
# hundred test programs would otherwise each carry their own copy of every library they use.
if(HYB_SHARED_MODULES)
  set(HYB_MODULE_TYPE SHARED)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
else()
  set(HYB_MODULE_TYPE STATIC)
endif()

# hyb_module(NAME [DEPS ...]): one library from every .cpp and .c in the calling folder and its
# subfolders. New files join the build without editing any CMakeLists.
function(hyb_module name)
  cmake_parse_arguments(M "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  add_library(${name} ${HYB_MODULE_TYPE} ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
endfunction()

# A test program runs whole, every case in one process, so that state one case leaves behind is seen by
# the next. ThreadSanitizer runs code several times slower: its programs get a longer limit.
if(HYB_TSAN)
  set(HYB_TEST_TIMEOUT 3000)
else()
  set(HYB_TEST_TIMEOUT 600)
endif()

# hyb_tests(LABEL DEPS ... [SERIAL stem ...] [PER_CASE stem ...]): one GoogleTest program per
# *_test.cpp in tests/<folder>/ and its subfolders (tests/platform/ mirrors the folders of platform/; a
# program is named by label and stem alone), labelled LABEL, and one CTest entry of the same name that
# runs it whole (run
# one case with `<program> --gtest_filter=Suite.Case`). The programs named under SERIAL run with nothing
# beside them: they wait on an engine's own timers, which a fully loaded machine stretches past any sane
# limit. Those named under PER_CASE still run one case per process: each is a known fault, a case that
# fails after another case of its program, to be mended and taken off the list.
function(hyb_tests label)
  cmake_parse_arguments(T "" "" "DEPS;SERIAL;PER_CASE" ${ARGN})
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    set(exe ${label}_${stem})
    add_executable(${exe} ${src})
    # tests_<label> builds every program of the label (make test-release builds only the labels it runs).
    if(NOT TARGET tests_${label})
      add_custom_target(tests_${label})
    endif()
    add_dependencies(tests_${label} ${exe})
    # hyb_private_environment: the program runs in a home and temporary folder of its own.
    target_link_libraries(${exe} PRIVATE ${T_DEPS} hyb_test_support hyb_private_environment GTest::gtest_main GTest::gmock)
    # Snapshot tests file their pictures under the label (tests/support/Snapshot.h).
    target_compile_definitions(${exe} PRIVATE HYB_TEST_LABEL="${label}")
    set(serial FALSE)
    if(stem IN_LIST T_SERIAL)
      set(serial TRUE)
    endif()
    if(stem IN_LIST T_PER_CASE)
      gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS ${label} TIMEOUT 120 RUN_SERIAL ${serial}
        # One variable per property: gtest_discover_tests splits a list value and keeps only its first item.
        ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp"
        ENVIRONMENT_MODIFICATION "NO_AT_BRIDGE=set:1")
    else()
      add_test(NAME ${exe} COMMAND ${exe} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
      set_tests_properties(${exe} PROPERTIES LABELS ${label} TIMEOUT ${HYB_TEST_TIMEOUT} RUN_SERIAL ${serial}
        ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp;NO_AT_BRIDGE=1")
    endif()
  endforeach()
endfunction()
