# Shared test support compiled into every test program.
add_library(duruvev_test_support STATIC ${CMAKE_SOURCE_DIR}/tests/run_program.cpp)
target_include_directories(duruvev_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
foreach(src ${TEST_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  target_link_libraries(${name} PRIVATE duruvev_test_support)
endforeach()
