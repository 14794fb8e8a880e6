# In-process plugin calls and plugin manager start-up.
add_executable(bench_plugins ${CMAKE_CURRENT_LIST_DIR}/plugins_bench.cpp)
target_link_libraries(bench_plugins PRIVATE ApplicationStatic benchmark::benchmark velmora_warnings)
target_include_directories(bench_plugins PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
add_dependencies(bench_plugins echo_plugin)
if(TARGET recording_plugin)
  add_dependencies(bench_plugins recording_plugin)
endif()
target_compile_definitions(bench_plugins PRIVATE
  ECHO_PLUGIN_PATH="$<TARGET_FILE:echo_plugin>"
  STARTUP_PLUGIN_PATH="${CMAKE_BINARY_DIR}/bin/plugins/test/recording_plugin.so")
