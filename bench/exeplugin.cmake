# Plugin calls across processes with the sample plugin executable, beside a
# bare loopback TCP ping-pong: build/bench/bin/exeplugin_bench
add_executable(exeplugin_bench ${CMAKE_CURRENT_LIST_DIR}/exeplugin_bench.cpp)
target_link_libraries(exeplugin_bench PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,ApplicationStatic>" velmora_warnings)
target_include_directories(exeplugin_bench PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
add_dependencies(exeplugin_bench SampleProcess)
