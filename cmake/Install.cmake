# What each build ships, named next to the targets: the packages (Windows installer, Debian
# package) take whatever the components hold, so a new deliverable needs only its install rule.
#
#   tw_install(target... COMPONENT program|standins [ARCHS ...] [REGISTER])
#   tw_install_files(file... COMPONENT program|standins [ARCHS ...] [SYSTEM | DESTINATION dir])
#
# Components: "program" is always installed; "standins" are our stand-ins for vendor libraries,
# which the Windows installer can leave out so that a site puts the vendors' files in place.
# ARCHS names the builds that ship the target (default: every build that has it).
# Windows: everything beside the program; SYSTEM files go to the system folder; DESTINATION
# is a folder of the installation (Linux: below /usr). REGISTER: the
# installer calls the module's DllRegisterServer (regsvr32) and DllUnregisterServer on removal.
# Linux: programs and libraries in lib/tarnwick, each finding the others beside itself.

if(WIN32)
  set(TW_INSTALL_DIR .)
else()
  set(TW_INSTALL_DIR lib/tarnwick)
endif()
set(TW_INSTALL_COMPONENTS program standins)
set(TW_CHECK_MACHINE ${CMAKE_CURRENT_LIST_DIR}/check_machine.sh)
set(TW_CHECK_HARDENING ${CMAKE_CURRENT_LIST_DIR}/check_hardening.sh)

# Builds everything a build ships (the installer builds the 64-bit build's parts with it).
add_custom_target(tw_installables)

# The arguments of tw_install and tw_install_files, as ARG_*; returns from the caller when this
# build does not ship them.
macro(tw_install_arguments flags values)
  cmake_parse_arguments(ARG "${flags}" "COMPONENT;${values}" "ARCHS" ${ARGN})
  if(NOT ARG_COMPONENT IN_LIST TW_INSTALL_COMPONENTS)
    message(FATAL_ERROR "Install component '${ARG_COMPONENT}' is not one of: ${TW_INSTALL_COMPONENTS}")
  endif()
  tw_builds_for(wanted ${ARG_ARCHS})
  if(NOT wanted)
    return()
  endif()
endmacro()

function(tw_install)
  tw_install_arguments("REGISTER;NOTHING_TO_FORTIFY" "" ${ARGN})
  foreach(target IN LISTS ARG_UNPARSED_ARGUMENTS)
    if(NOT TARGET ${target})
      continue()
    endif()
    if(NOT WIN32)
      set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    endif()
    # Import libraries are for developers linking the modules, not for the packages.
    install(TARGETS ${target}
      RUNTIME DESTINATION ${TW_INSTALL_DIR} COMPONENT ${ARG_COMPONENT}
      LIBRARY DESTINATION ${TW_INSTALL_DIR} COMPONENT ${ARG_COMPONENT}
      ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
    add_dependencies(tw_installables ${target})
    if(WIN32)
      # What ships is built for the machine of its build.
      add_test(NAME ${target}_machine COMMAND ${TW_CHECK_MACHINE} ${CMAKE_OBJDUMP} $<TARGET_FILE:${target}> ${TW_ARCH})
      set_tests_properties(${target}_machine PROPERTIES LABELS noexec)
    endif()
    # Sanitizer builds leave fortification out; the shipped builds carry every protection.
    if(NOT TW_FUZZ AND NOT TW_SANITIZE)
      add_test(NAME ${target}_hardening COMMAND ${TW_CHECK_HARDENING} ${CMAKE_OBJDUMP} $<TARGET_FILE:${target}>
        $<$<BOOL:${ARG_NOTHING_TO_FORTIFY}>:nothing-to-fortify>)
      set_tests_properties(${target}_hardening PROPERTIES LABELS noexec)
    endif()
    set_property(GLOBAL APPEND PROPERTY TW_INSTALLED_TARGETS ${target})
    if(ARG_REGISTER)
      set_property(GLOBAL APPEND PROPERTY TW_REGISTERED_MODULES "$<TARGET_FILE_NAME:${target}>")
    endif()
  endforeach()
endfunction()

function(tw_install_files)
  tw_install_arguments(SYSTEM DESTINATION ${ARGN})
  set(destination ${TW_INSTALL_DIR})
  if(ARG_DESTINATION)
    set(destination ${ARG_DESTINATION})
  elseif(ARG_SYSTEM AND WIN32)
    set(destination system)
  endif()
  foreach(file IN LISTS ARG_UNPARSED_ARGUMENTS)
    get_filename_component(file ${file} ABSOLUTE)
    install(FILES ${file} DESTINATION ${destination} COMPONENT ${ARG_COMPONENT})
    set_property(GLOBAL APPEND PROPERTY TW_INSTALLED_FILES ${file})
  endforeach()
endfunction()

# Written once every folder has named its parts: what the installer of another build needs to
# know about this one (the modules to register).
function(tw_write_install_manifest)
  get_property(registered GLOBAL PROPERTY TW_REGISTERED_MODULES)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/tw_install_manifest.cmake
    CONTENT "set(TW_REGISTERED_MODULES \"${registered}\")\n")
endfunction()
