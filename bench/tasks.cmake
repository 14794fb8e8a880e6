# Task hop latency against a bare condition-variable hand-off, task
# throughput, notifier delivery cost, and the log's Write cost and file throughput.
add_executable(bench_tasks ${CMAKE_CURRENT_LIST_DIR}/tasks_bench.cpp)
target_link_libraries(bench_tasks PRIVATE ApplicationStatic velmora_warnings)
target_include_directories(bench_tasks PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
