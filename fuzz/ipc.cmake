velmora_add_fuzzer(ipc_frames SOURCES ${CMAKE_CURRENT_LIST_DIR}/ipc_frames_fuzz.cpp)
