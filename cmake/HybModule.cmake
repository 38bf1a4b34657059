# hyb_module(NAME [DEPS ...]): one static library from every .cpp and .c in the calling folder and its
# subfolders. New files join the build without editing any CMakeLists.
function(hyb_module name)
  cmake_parse_arguments(M "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
endfunction()

# ThreadSanitizer runs code several times slower: its tests get a longer limit.
if(HYB_TSAN)
  set(HYB_TEST_TIMEOUT 600)
else()
  set(HYB_TEST_TIMEOUT 120)
endif()

# hyb_tests(LABEL DEPS ... [SERIAL stem ...]): one GoogleTest executable per tests/<folder>/*_test.cpp,
# labelled LABEL. The executables named under SERIAL run with nothing beside them: they wait on an
# engine's own timers, which a fully loaded machine stretches past any sane limit.
function(hyb_tests label)
  cmake_parse_arguments(T "" "" "DEPS;SERIAL" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(stem ${src} NAME_WE)
    set(exe ${label}_${stem})
    add_executable(${exe} ${src})
    target_link_libraries(${exe} PRIVATE ${T_DEPS} hyb_test_support GTest::gtest_main GTest::gmock)
    # Snapshot tests file their pictures under the label (tests/support/Snapshot.h).
    target_compile_definitions(${exe} PRIVATE HYB_TEST_LABEL="${label}")
    set(serial FALSE)
    if(stem IN_LIST T_SERIAL)
      set(serial TRUE)
    endif()
    gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS ${label} TIMEOUT ${HYB_TEST_TIMEOUT} RUN_SERIAL ${serial}
      # One variable per property: gtest_discover_tests splits a list value and keeps only its first item.
      ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp"
      ENVIRONMENT_MODIFICATION "NO_AT_BRIDGE=set:1")
  endforeach()
endfunction()
