# JSON values: immutable shared values, parser (strict or with comments) and
# serializer. Internal to the framework, not exported.
target_sources(ApplicationObjects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_parse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json_pool.cpp
)

if(VELMORA_BUILD_TESTS)
  velmora_add_test(tools_json_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/json_test.cpp)
  velmora_add_test(tools_json_pool_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/json_pool_test.cpp)
endif()
