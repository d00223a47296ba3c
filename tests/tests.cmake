# Shared test support linked into every test program whole: as an object
# library, so that the file size cap it installs needs no reference from the
# test.
add_library(duruvev_test_support OBJECT ${CMAKE_SOURCE_DIR}/tests/run_program.cpp
	    ${CMAKE_SOURCE_DIR}/tests/file_size_cap.cpp)
target_include_directories(duruvev_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(duruvev_test_support PUBLIC duruvev_core GTest::gtest)
foreach(src ${TEST_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  target_link_libraries(${name} PRIVATE duruvev_test_support)
endforeach()
