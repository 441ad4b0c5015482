# Windows test programs under Wine. RHL_WINE names the loader that runs them
# (empty: none run): /usr/lib/wine/wine64 for a 64-bit build, /usr/lib/wine/wine
# for a 32-bit one. A fixture makes one fresh prefix in a temporary folder per
# ctest run, outside every test's timeout, and removes it at the end.
include_guard(GLOBAL)
set(RHL_WINE "" CACHE FILEPATH "Wine loader that runs this build's test programs; empty for none")

function(rhl_wine_command out_var action)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch win64)
  else()
    set(arch win32)
  endif()
  set(${out_var} bash ${CMAKE_SOURCE_DIR}/tests/windows/wine.sh ${action} ${RHL_WINE} ${arch}
      ${CMAKE_BINARY_DIR}/wine-prefix.path PARENT_SCOPE)
endfunction()

if(RHL_WINE)
  rhl_wine_command(start start)
  rhl_wine_command(stop stop)
  add_test(NAME wine_prefix_start COMMAND ${start})
  add_test(NAME wine_prefix_stop COMMAND ${stop})
  set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 900)
  set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine_prefix)
endif()

# NAME runs TARGET's program under Wine with ARGN, from the program's folder.
function(rhl_add_wine_test name target)
  if(NOT RHL_WINE)
    return()
  endif()
  rhl_wine_command(run run)
  add_test(NAME ${name} COMMAND ${run} $<TARGET_FILE:${target}> ${ARGN}
           WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix TIMEOUT 600)
endfunction()
