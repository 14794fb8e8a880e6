# Files, processes, libraries, semaphores, encodings, numbers and time over
# the operating system.
target_sources(ApplicationObjects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/os_encoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/os_files_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/os_number.cpp
  ${CMAKE_CURRENT_LIST_DIR}/os_paths_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/os_system_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/os_time.cpp
)

if(VELMORA_BUILD_TESTS)
  velmora_add_test(tools_os_text_test SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/os_encoding_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/os_number_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/os_time_test.cpp)
  velmora_add_test(tools_os_files_test SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/os_files_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/os_paths_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/os_system_test.cpp)
  velmora_add_test(tools_os_replace_crash_test SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/os_replace_crash_test.cpp)
endif()
