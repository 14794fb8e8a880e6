# The user's private runtime directory, shared by the single-instance guard
# and the data tree.
target_sources(ApplicationObjects PRIVATE ${CMAKE_CURRENT_LIST_DIR}/os_runtime_dir_posix.cpp)

if(VELMORA_BUILD_TESTS)
  velmora_add_test(tools_os_runtime_dir_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_runtime_dir_test.cpp)
endif()
