velmora_add_fuzzer(json SOURCES ${CMAKE_CURRENT_LIST_DIR}/json_fuzz.cpp)
