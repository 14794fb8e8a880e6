# Host start with the shipped demo configuration, median of several starts
# from spawn to running: build/bench/bin/host_bench. Needs the host program.
if(TARGET Velmora)
  add_executable(host_bench ${CMAKE_CURRENT_LIST_DIR}/host_bench.cpp)
  target_link_libraries(host_bench PRIVATE velmora_warnings)
  target_include_directories(host_bench PRIVATE ${CMAKE_SOURCE_DIR})
  add_dependencies(host_bench Velmora DemoWindow echo_plugin SampleProcess VelmoraSkins)
endif()
