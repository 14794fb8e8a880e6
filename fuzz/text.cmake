velmora_add_fuzzer(config SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_fuzz.cpp)
velmora_add_fuzzer(lexer SOURCES ${CMAKE_CURRENT_LIST_DIR}/lexer_fuzz.cpp)
