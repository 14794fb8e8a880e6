add_executable(bench_config ${CMAKE_CURRENT_LIST_DIR}/config_bench.cpp)
target_link_libraries(bench_config PRIVATE ApplicationStatic benchmark::benchmark velmora_warnings)
target_include_directories(bench_config PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
