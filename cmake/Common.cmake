# Settings shared by every target of the project.

# spdlog compiled once (common/spdlog_impl.cpp, in tw_log) over header-only fmt; level names as
# the service's log reader expects them.
add_library(tw_logging_deps INTERFACE)
target_compile_definitions(tw_logging_deps INTERFACE
  SPDLOG_COMPILED_LIB
  SPDLOG_FMT_EXTERNAL=1
  FMT_HEADER_ONLY
  [[SPDLOG_LEVEL_NAMES={"VERB","DEBUG","INFO","WARN","ERROR","FATAL","NONE"}]])

if(CMAKE_CROSSCOMPILING)
  # The host's /usr/include must not leak into a Windows build: expose only the header-only
  # libraries we take from Debian, through a folder of links.
  set(TW_XINCLUDE ${CMAKE_BINARY_DIR}/xinclude)
  file(MAKE_DIRECTORY ${TW_XINCLUDE})
  foreach(lib boost spdlog fmt)
    if(NOT EXISTS ${TW_XINCLUDE}/${lib})
      file(CREATE_LINK /usr/include/${lib} ${TW_XINCLUDE}/${lib} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(tw_logging_deps SYSTEM INTERFACE ${TW_XINCLUDE})
  add_library(tw_boost INTERFACE)
  target_include_directories(tw_boost SYSTEM INTERFACE ${TW_XINCLUDE})
  target_compile_definitions(tw_boost INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_libraries(tw_boost INTERFACE ws2_32 mswsock)
else()
  find_package(Boost 1.74 REQUIRED)
  find_package(Threads REQUIRED)
  add_library(tw_boost INTERFACE)
  target_link_libraries(tw_boost INTERFACE Boost::headers Threads::Threads)
endif()

# libgcrypt: RSA, hashes and ciphers of the key stand-ins and the provider. Debian's mingw
# package carries static libraries, so the Windows modules need no libgcrypt DLL.
add_library(tw_gcrypt INTERFACE)
if(CMAKE_CROSSCOMPILING)
  find_library(TW_GCRYPT_STATIC NAMES libgcrypt.a REQUIRED)
  find_library(TW_GPG_ERROR_STATIC NAMES libgpg-error.a REQUIRED)
  target_link_libraries(tw_gcrypt INTERFACE ${TW_GCRYPT_STATIC} ${TW_GPG_ERROR_STATIC} ws2_32 advapi32)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TW_GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  target_link_libraries(tw_gcrypt INTERFACE PkgConfig::TW_GCRYPT)
endif()

add_library(tw_warnings INTERFACE)
target_compile_options(tw_warnings INTERFACE -Wall -Wextra)

# The compiler's and linker's protections, on every build: stack protector and fortified library
# calls (the sanitizers do their own checking, and fortification needs optimisation), position
# independence with full RELRO on Linux, ASLR and DEP on Windows. check_hardening.sh checks them
# on every shipped module.
add_compile_options(-fstack-protector-strong)
if(NOT TW_FUZZ AND NOT TW_SANITIZE)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
if(WIN32)
  # mingw-w64 keeps the stack protector's and the fortified calls' helpers in libssp; linking
  # with the flag brings it in, statically like the rest of the runtime.
  add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_link_options(-Wl,--high-entropy-va)
  endif()
else()
  include(CheckPIESupported)
  check_pie_supported()
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()

# The Windows builds and the fuzzers need line tables (backtraces under Wine, crash reports), not
# variables and types: full debug information costs them a third of their compile time, and the
# installer strips it anyway. The Linux builds keep it, for the debugger and the profiler.
if(WIN32 OR TW_FUZZ)
  add_compile_options($<$<CONFIG:RelWithDebInfo>:-g1>)
endif()

if(TW_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TW_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# GoogleTest: Debian's package natively; compiled from Debian's sources for Windows.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Targets.cmake)
