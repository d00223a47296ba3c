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

# Preloaded into the built program by end-to-end tests that watch its syncs;
# never linked into anything that ships.
add_library(duruvev_sync_shim MODULE ${CMAKE_SOURCE_DIR}/tests/sync_shim.c)
target_link_libraries(duruvev_sync_shim PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(duruvev_sync_shim PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(test_e2e_one_shot duruvev_sync_shim)
target_compile_definitions(test_e2e_one_shot PRIVATE DURUVEV_SYNC_SHIM="$<TARGET_FILE:duruvev_sync_shim>")

# No include in src/ points to a layer above its own.
add_test(NAME layers COMMAND sh ${CMAKE_SOURCE_DIR}/tests/layers.sh ${CMAKE_SOURCE_DIR})
