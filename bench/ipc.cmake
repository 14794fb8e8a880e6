# Two-process round trips and streaming through the IPC endpoints, with a bare
# loopback TCP ping-pong as the baseline: build/bench/bin/ipc_bench
add_executable(ipc_bench ${CMAKE_CURRENT_LIST_DIR}/ipc_bench.cpp)
target_link_libraries(ipc_bench PRIVATE ApplicationStatic velmora_warnings)
