velmora_add_fuzzer(os_encoding SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_encoding_fuzz.cpp)
