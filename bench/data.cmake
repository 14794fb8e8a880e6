# The data tree's visit, push and pull costs beside the bare kernel lock and
# memcpy of the same bytes. A small program: the pull runs in a second process.
add_executable(bench_data ${CMAKE_CURRENT_LIST_DIR}/data_bench.cpp)
target_link_libraries(bench_data PRIVATE ApplicationStatic velmora_warnings)
target_include_directories(bench_data PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
