# Strings, lexer and INI files of the Tools layer.
target_sources(ApplicationObjects PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/strings.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/lexer.cpp
)

if(VELMORA_BUILD_TESTS)
  velmora_add_test(tools_strings_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/strings_test.cpp)
  velmora_add_test(tools_lexer_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/lexer_test.cpp)
endif()
