# The idle cost of the real host program with 1 and 20 sample plugin
# processes: wake-ups per second and CPU time (build/bench/bin/idle_bench).
if(TARGET Velmora)
  add_executable(idle_bench ${CMAKE_CURRENT_LIST_DIR}/idle_bench.cpp)
  target_link_libraries(idle_bench PRIVATE velmora_warnings)
  target_include_directories(idle_bench PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(idle_bench PRIVATE VELMORA_PROGRAM="$<TARGET_FILE:Velmora>"
    SAMPLE_PROCESS_PATH="$<TARGET_FILE:SampleProcess>")
  add_dependencies(idle_bench Velmora SampleProcess)
endif()
