# GoogleTest built from Debian's sources with this build's own compiler and
# flags, so the -m32, sanitizer and cross builds all get a matching copy.
set(RHL_GOOGLETEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ${WIN32} CACHE BOOL "" FORCE)
set(CMAKE_CXX_VISIBILITY_PRESET default)
add_subdirectory(${RHL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
include(GoogleTest)
