# Rebuilds a DLL's import library so that callers' decorated __stdcall references (_Name@N)
# bind to the undecorated names the .def exports; ld's own import library carries only _Name.
# Usage: cmake -DNM=.. -DDLLTOOL=.. -DOBJECTS=a;b -DDEF=.. -DDLL=Name.dll -DOUT=lib.dll.a -P import_lib.cmake
include(${CMAKE_CURRENT_LIST_DIR}/def_names.cmake)
tw_def_names(${DEF} names)

execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed")
endif()

get_filename_component(out_dir ${OUT} DIRECTORY)
set(import_def ${out_dir}/${DLL}.import.def)
set(text "LIBRARY ${DLL}\nEXPORTS\n")
foreach(name IN LISTS names)
  if(name MATCHES "^([^=]+)=(.+)$")
    # Exported under another name (a decorated one): callers' references to the internal
    # symbol import that name.
    string(APPEND text "  ${CMAKE_MATCH_2} == ${CMAKE_MATCH_1}\n")
    continue()
  endif()
  # 32-bit x86 decorates as _Name@bytes; 64-bit does not decorate at all.
  if(symbols MATCHES " _${name}(@[0-9]+)\n")
    string(APPEND text "  ${name}${CMAKE_MATCH_1}\n")
  else()
    string(APPEND text "  ${name}\n")
  endif()
endforeach()
file(WRITE ${import_def} "${text}")

execute_process(COMMAND ${DLLTOOL} -d ${import_def} -D ${DLL} -l ${OUT} -k RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed")
endif()
