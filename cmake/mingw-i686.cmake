# The 32-bit Windows module, the host application's form: a PE32 DLL.
set(RHL_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
