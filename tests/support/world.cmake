# The test world (world, log_capture) needs no GoogleTest, so the tests, the benchmarks and the
# fuzz targets all build it.
set(VESK_WORLD_SOURCES ${CMAKE_CURRENT_LIST_DIR}/world.cpp ${CMAKE_CURRENT_LIST_DIR}/log_capture.cpp)
get_filename_component(VESK_WORLD_INCLUDE ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
if(NOT TARGET vesk_test_world)
  add_library(vesk_test_world STATIC EXCLUDE_FROM_ALL ${VESK_WORLD_SOURCES})
  target_include_directories(vesk_test_world PUBLIC ${VESK_WORLD_INCLUDE})
  target_link_libraries(vesk_test_world PUBLIC vesk zet)
endif()
