velmora_add_fuzzer(data_snapshot SOURCES ${CMAKE_CURRENT_LIST_DIR}/data_snapshot_fuzz.cpp)
velmora_add_fuzzer(data_pull SOURCES ${CMAKE_CURRENT_LIST_DIR}/data_pull_fuzz.cpp)
