set(TW_MINGW_TRIPLE i686-w64-mingw32)
set(TW_MINGW_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
