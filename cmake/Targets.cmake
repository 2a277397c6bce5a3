# How the project's libraries, programs and tests are built: one recipe for each kind of artefact
# (a library's core objects, an internal static library, a program or benchmark, a library with
# Windows export names, a test program), one for placing run-time libraries beside a program, and
# the list of builds each target belongs to.

# The build being configured: "linux" (native), "win32" (i686 mingw) or "win64" (x86-64 mingw).
# Tests labelled "noexec" run no Windows program, so they run on hosts that cannot start the
# build's programs (a kernel without 32-bit support).
if(NOT CMAKE_CROSSCOMPILING)
  set(TW_ARCH linux)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TW_ARCH win32)
else()
  set(TW_ARCH win64)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/def_names.cmake)
set(TW_CHECK_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/check_exports.sh)
set(TW_IMPORT_LIB ${CMAKE_CURRENT_LIST_DIR}/import_lib.cmake)

# Sets <out> to true when the current build is one of <archs> (every build when none is named).
function(tw_builds_for out)
  if(ARGN AND NOT TW_ARCH IN_LIST ARGN)
    set(${out} FALSE PARENT_SCOPE)
  else()
    set(${out} TRUE PARENT_SCOPE)
  endif()
endfunction()

# What the core and static recipes share: INCLUDES and LINK are public, PRIVATE_INCLUDES and
# PRIVATE_LINK the target's own; warnings on, position-independent code (the objects end up in
# shared libraries).
set(TW_USAGE_KEYWORDS SOURCES INCLUDES PRIVATE_INCLUDES LINK PRIVATE_LINK)
macro(tw_target_usage name)
  if(ARG_INCLUDES)
    target_include_directories(${name} PUBLIC ${ARG_INCLUDES})
  endif()
  if(ARG_PRIVATE_INCLUDES)
    target_include_directories(${name} PRIVATE ${ARG_PRIVATE_INCLUDES})
  endif()
  target_link_libraries(${name} PUBLIC ${ARG_LINK} PRIVATE ${ARG_PRIVATE_LINK} tw_warnings)
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endmacro()

# A library's code, exports included, as one object library that the library file, its tests and
# its benchmarks all link:
#   tw_add_core(name SOURCES ... [INCLUDES ...] [PRIVATE_INCLUDES ...] [LINK ...] [PRIVATE_LINK ...])
function(tw_add_core name)
  cmake_parse_arguments(ARG "" "" "${TW_USAGE_KEYWORDS}" ${ARGN})
  add_library(${name} OBJECT ${ARG_SOURCES})
  tw_target_usage(${name})
endfunction()

# Code that programs and libraries link in, never shipped on its own:
#   tw_add_static(name SOURCES ... [INCLUDES ...] [PRIVATE_INCLUDES ...] [LINK ...] [PRIVATE_LINK ...])
function(tw_add_static name)
  cmake_parse_arguments(ARG "" "" "${TW_USAGE_KEYWORDS}" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  tw_target_usage(${name})
endfunction()

# A program, a tool or a benchmark:
#   tw_add_program(name SOURCES ... [LINK ...] [GUI] [WIDE_MAIN])
# GUI: a window program on Windows (no console). WIDE_MAIN: its entry point is wmain/wWinMain,
# which mingw reaches only with -municode.
function(tw_add_program name)
  cmake_parse_arguments(ARG "GUI;WIDE_MAIN" "" "SOURCES;LINK" ${ARGN})
  set(kind)
  if(ARG_GUI AND WIN32)
    set(kind WIN32)
  endif()
  add_executable(${name} ${kind} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} tw_warnings)
  if(ARG_WIDE_MAIN AND WIN32)
    target_link_options(${name} PRIVATE -municode)
  endif()
endfunction()

# A shared library whose export names come from its .def file, built the same way everywhere:
#   tw_add_library(NAME DEF file.def [SOURCES ...] [CORE objlib] [LINK ...] [ARCHS ...]
#                  [OUTPUT_DIRECTORY dir])
# Windows: the .def names exactly (stdcall fix-up), no "lib" prefix, an import library that maps
# callers' decorated stdcall references, C and C++ runtimes linked in. Linux: the static
# libraries inside stay private to it. Every build checks the export table against the .def.
# CORE names the object library that holds the code, shared with tests and benchmarks.
function(tw_add_library name)
  cmake_parse_arguments(ARG "" "DEF;CORE;OUTPUT_DIRECTORY" "SOURCES;LINK;ARCHS" ${ARGN})
  tw_builds_for(wanted ${ARG_ARCHS})
  if(NOT wanted)
    return()
  endif()
  get_filename_component(def ${ARG_DEF} ABSOLUTE)
  add_library(${name} SHARED ${ARG_SOURCES})
  if(ARG_CORE)
    target_link_libraries(${name} PRIVATE ${ARG_CORE})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LINK} tw_warnings)
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${name} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
      RUNTIME_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
      ARCHIVE_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  endif()
  if(WIN32 AND TW_ARCH STREQUAL "win64")
    # x64 has one calling convention and decorates nothing: a name exported under a decorated
    # one ("_Name@N=Name@N") is bound to the plain symbol, under the same exported name.
    file(READ ${def} text)
    string(REGEX REPLACE "(=[A-Za-z0-9_]+)@[0-9]+" "\\1" text "${text}")
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
    file(CONFIGURE OUTPUT ${def} CONTENT "${text}" @ONLY)
  endif()
  if(WIN32)
    target_sources(${name} PRIVATE ${def})
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup -static)
    # ld's own import library carries only the undecorated names; callers reference _Name@N.
    set(objects "$<TARGET_OBJECTS:${name}>")
    if(ARG_CORE)
      set(objects "${objects};$<TARGET_OBJECTS:${ARG_CORE}>")
    endif()
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} "-DOBJECTS=${objects}"
        -DDEF=${def} -DDLL=$<TARGET_FILE_NAME:${name}> -DOUT=$<TARGET_LINKER_FILE:${name}> -P ${TW_IMPORT_LIB}
      VERBATIM)
    set(tool ${CMAKE_OBJDUMP})
  else()
    # Only the names of the .def file are visible: the library's own code and the static
    # libraries inside it stay private, so they cannot clash with a program's copies. ELF has no
    # stdcall decoration, so "_Name@N" is exported as Name.
    tw_def_names(${def} names)
    set(globals "")
    foreach(export IN LISTS names)
      string(REGEX REPLACE "=.*" "" export "${export}")
      string(REGEX REPLACE "^_(.*)@[0-9]+$" "\\1" export "${export}")
      string(APPEND globals "    ${export};\n")
    endforeach()
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
    # Written only when it changes: the libraries relink whenever it is newer.
    file(CONFIGURE OUTPUT ${map} CONTENT "{\n  global:\n${globals}  local: *;\n};\n" @ONLY)
    set_target_properties(${name} ${ARG_CORE} PROPERTIES C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON LINK_DEPENDS ${map})
    target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL -Wl,--version-script=${map})
    set(tool ${CMAKE_NM})
  endif()
  string(TOLOWER ${name} test_name)
  add_test(NAME ${test_name}_exports COMMAND ${TW_CHECK_EXPORTS} ${tool} $<TARGET_FILE:${name}> ${def})
  set_tests_properties(${test_name}_exports PROPERTIES LABELS noexec)
endfunction()

# Places the libraries a program loads (by import or at run time) beside it, as they are
# installed: tw_place_beside(program lib...). Libraries not built in this configuration are
# skipped.
# The copy is checked on every build, so that it follows a rebuilt library also when the program
# itself is not relinked (copy_if_different: nothing is written while they agree).
function(tw_place_beside target)
  foreach(lib ${ARGN})
    if(TARGET ${lib})
      add_custom_target(${target}_beside_${lib}
        COMMAND ${CMAKE_COMMAND} -E make_directory $<TARGET_FILE_DIR:${target}>
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${lib}> $<TARGET_FILE_DIR:${target}>
        DEPENDS ${lib} VERBATIM)
      add_dependencies(${target} ${target}_beside_${lib})
    endif()
  endforeach()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/Install.cmake)

# One test program per module. Natively each case is its own CTest test; under Wine the program
# runs whole, since starting a Wine process per case would cost seconds each.
#   tw_add_gtest(target SOURCES ... [LIBS ...] [LOCKS ...] [ARCHS ...] [WORKING_DIRECTORY dir]
#                [BESIDE lib...] [PROGRAM_ONLY])
# PROGRAM_ONLY builds the program and registers nothing: for a program its caller runs as several
# tests, each under other settings.
function(tw_add_gtest target)
  cmake_parse_arguments(ARG "PROGRAM_ONLY" "WORKING_DIRECTORY" "SOURCES;LIBS;LOCKS;ARCHS;BESIDE" ${ARGN})
  tw_builds_for(wanted ${ARG_ARCHS})
  if(NOT wanted)
    return()
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest_main tw_warnings)
  tw_place_beside(${target} ${ARG_BESIDE})
  if(ARG_PROGRAM_ONLY)
    return()
  endif()
  if(NOT ARG_WORKING_DIRECTORY)
    set(ARG_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} WORKING_DIRECTORY ${ARG_WORKING_DIRECTORY})
    set_tests_properties(${target} PROPERTIES TIMEOUT 300)
    if(ARG_LOCKS)
      set_tests_properties(${target} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
    endif()
  else()
    gtest_discover_tests(${target} WORKING_DIRECTORY ${ARG_WORKING_DIRECTORY}
      DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120 RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
endfunction()
