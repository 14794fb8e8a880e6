# Strings, lexer and INI files of the Tools layer.
target_sources(ApplicationObjects PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/strings.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/strings_encoding.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/lexer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/config.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/config_safe.cpp
)

if(VELMORA_BUILD_TESTS)
  velmora_add_test(tools_strings_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/strings_test.cpp)
  velmora_add_test(tools_lexer_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/lexer_test.cpp)
  velmora_add_test(tools_config_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_test.cpp)
  velmora_add_test(tools_config_replace_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_replace_test.cpp)
endif()
