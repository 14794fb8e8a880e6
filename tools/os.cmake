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

target_sources(ApplicationObjects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/os_library_posix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/os_process_posix.cpp
)

if(VELMORA_BUILD_TESTS)
  add_executable(tools_os_child_helper ${CMAKE_CURRENT_LIST_DIR}/os_child_helper.cpp)
  target_link_libraries(tools_os_child_helper PRIVATE velmora_warnings)
  velmora_add_test(tools_os_process_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_process_test.cpp)
  add_dependencies(tools_os_process_test tools_os_child_helper)

  add_library(tools_os_test_library MODULE ${CMAKE_CURRENT_LIST_DIR}/os_test_library.cpp)
  add_library(tools_os_test_broken_library MODULE ${CMAKE_CURRENT_LIST_DIR}/os_test_library.cpp)
  target_compile_definitions(tools_os_test_broken_library PRIVATE VELMORA_BROKEN_LIBRARY)
  velmora_add_test(tools_os_library_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_library_test.cpp)
  add_dependencies(tools_os_library_test tools_os_test_library tools_os_test_broken_library)
endif()

target_sources(ApplicationObjects PRIVATE ${CMAKE_CURRENT_LIST_DIR}/os_semaphore_posix.cpp)
if(VELMORA_BUILD_TESTS)
  velmora_add_test(tools_os_semaphore_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/os_semaphore_test.cpp)
endif()

# Window helpers: X11 headers only; the libraries are loaded at run time.
target_sources(ApplicationObjects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_x11_posix.cpp
)

if(VELMORA_BUILD_TESTS)
  velmora_add_test(tools_os_window_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_test.cpp)
  # The test drives X itself; the library never links it.
  find_package(X11 QUIET)
  if(X11_FOUND AND X11_Xtst_FOUND AND X11_Xss_FOUND)
    velmora_add_test(tools_os_window_x11_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/window_x11_test.cpp
      LIBS X11::X11 X11::Xtst X11::Xss)
  else()
    message(STATUS "X11 development files not found: tools_os_window_x11_test is not built")
  endif()
endif()
