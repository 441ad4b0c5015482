# The same module and suites as a PE32+ build, which Wine runs with its 64-bit
# loader alone on machines that cannot execute i386 code.
set(RHL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
