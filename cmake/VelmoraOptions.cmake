# Warnings and sanitizers shared by every target of the project.
add_library(velmora_warnings INTERFACE)
target_compile_options(velmora_warnings INTERFACE -Wall -Wextra)
# g++ 12 at -O3 reports -Wrestrict inside libstdc++ for plain
# "text" + std::string expressions (a known false positive of that release).
target_compile_options(velmora_warnings INTERFACE
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>)
if(VELMORA_WERROR)
  target_compile_options(velmora_warnings INTERFACE -Werror)
endif()

if(VELMORA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VELMORA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VELMORA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VELMORA_SANITIZE must be empty, 'address' or 'thread'")
endif()

if(VELMORA_BUILD_FUZZ)
  # Coverage feedback must come from the code under test, not only from the
  # fuzz entry points, or libFuzzer explores blind.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# velmora_add_test(<name> SOURCES <files...> [LIBS <targets...>] [SHARED])
# One test executable per group of related *_test.cpp files. Unit tests link
# the static framework (internals visible); SHARED links libApplication.so for
# tests that load plugins built against it, so that both see one App().
function(velmora_add_test name)
  cmake_parse_arguments(T "SHARED" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_SHARED)
    target_link_libraries(${name} PRIVATE Application)
  else()
    # Whole archive: registrations made by static objects must run as they do
    # in the shared library.
    target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,ApplicationStatic>")
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main velmora_warnings)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT 120)
endfunction()

# velmora_add_fuzzer(<name> SOURCES <files...>)
# With VELMORA_BUILD_FUZZ: a libFuzzer binary fuzz_<name>. With tests on: a
# replay binary run by ctest over fuzz/corpus/<name>, so fixed crashes stay fixed.
function(velmora_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES" ${ARGN})
  if(VELMORA_BUILD_FUZZ)
    add_executable(fuzz_${name} ${F_SOURCES})
    target_link_libraries(fuzz_${name} PRIVATE ApplicationStatic)
    target_include_directories(fuzz_${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  endif()
  if(VELMORA_BUILD_TESTS)
    add_executable(replay_${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
    target_link_libraries(replay_${name} PRIVATE ApplicationStatic velmora_warnings)
    target_include_directories(replay_${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
    add_test(NAME fuzz_replay_${name} COMMAND replay_${name} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
  endif()
endfunction()
