# cmake -DLIBRARIES=<lib>|<lib>... -DPROCESSES=<exe>|<exe>... -P CheckPluginBinaries.cmake
# What velmora_add_plugin promises of a built plugin: it lies in a folder
# "plugins", finds libApplication one folder up through its run path, and a
# plugin library exports its entry points and interface stamp but none of its
# own C++ symbols.
find_program(READELF readelf REQUIRED)
find_program(NM nm REQUIRED)
set(failures "")
string(REPLACE "|" ";" LIBRARIES "${LIBRARIES}")
string(REPLACE "|" ";" PROCESSES "${PROCESSES}")

foreach(binary ${LIBRARIES} ${PROCESSES})
  get_filename_component(folder ${binary} DIRECTORY)
  get_filename_component(folder ${folder} NAME)
  if(NOT folder STREQUAL "plugins")
    string(APPEND failures "${binary}: not in a folder \"plugins\"\n")
  endif()
  execute_process(COMMAND ${READELF} -d ${binary} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
  if(NOT dynamic MATCHES "\\((RUNPATH|RPATH)\\)[^\n]*\\[([^]\n]*:)?\\$ORIGIN/\\.\\.(:[^]\n]*)?\\]")
    string(APPEND failures "${binary}: no run path $ORIGIN/..\n")
  endif()
endforeach()

foreach(binary ${LIBRARIES})
  execute_process(COMMAND ${NM} -D --defined-only ${binary} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  foreach(wanted CreateObject DestroyObject velmora_plugin_abi_version)
    if(NOT symbols MATCHES " ${wanted}\n")
      string(APPEND failures "${binary}: does not export ${wanted}\n")
    endif()
  endforeach()
  # Functions of the plugin's own (mangled, outside namespace std) that are
  # visible: hidden visibility did not apply.
  string(REGEX MATCHALL "[0-9a-f]+ [TW] _Z[^\n]*" exported "${symbols}")
  list(FILTER exported EXCLUDE REGEX " _ZN?K?St|_ZNKSt|_ZNSt|_ZSt")
  # Qt's own inline functions, emitted as weak copies where a build does not
  # inline them (the sanitizer presets): they carry Qt's class visibility.
  list(FILTER exported EXCLUDE REGEX " W _ZN?K?[0-9]+Q[A-Za-z]")
  if(exported)
    string(APPEND failures "${binary}: exports its own functions: ${exported}\n")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
list(LENGTH LIBRARIES libraries)
list(LENGTH PROCESSES processes)
message(STATUS "${libraries} plugin libraries and ${processes} plugin executables as velmora_add_plugin builds them")
