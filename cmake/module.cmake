# The handler module: its sources as one object library, shared by the module
# itself and by the unit tests that link it to the scripted fake library.
set(RHL_MODULE_SOURCES
  module/diagnostics/diagnostics.cpp
  module/linkfile/names.cpp
  module/linkfile/text.cpp
  module/linkfile/readurl.cpp
  module/handler/info.cpp
  module/handler/lasterr.cpp
  module/handler/registration.cpp
  module/handler/state.cpp
  module/handler/open.cpp
  module/handler/view.cpp
  module/platform/seams.cpp
)
if(WIN32)
  list(APPEND RHL_MODULE_SOURCES
    module/platform/win32/platform_win32.cpp
    module/platform/win32/attach.cpp)
else()
  list(APPEND RHL_MODULE_SOURCES module/platform/posix/platform_posix.cpp)
endif()

add_library(rhl_module_objects OBJECT ${RHL_MODULE_SOURCES})
target_include_directories(rhl_module_objects PUBLIC ${CMAKE_SOURCE_DIR}/module)

# The module itself, where a library to link it to is built.
function(rhl_add_module ncsecwex_target)
  if(WIN32)
    # Ordinals only, under the export name the host expects, and a version
    # resource.
    set(packaging ${CMAKE_SOURCE_DIR}/module/exports.def ${CMAKE_SOURCE_DIR}/module/version.rc)
  endif()
  add_library(ECW_RHL SHARED $<TARGET_OBJECTS:rhl_module_objects> ${packaging})
  target_link_libraries(ECW_RHL PRIVATE ${ncsecwex_target})
  set_target_properties(ECW_RHL PROPERTIES
    OUTPUT_NAME "ECW" PREFIX "" SUFFIX ".RHL"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN")
  if(NOT WIN32)
    target_link_options(ECW_RHL PRIVATE ${RHL_NO_UNDEFINED}
      -Wl,--version-script=${CMAKE_SOURCE_DIR}/module/exports.map)
  endif()
endfunction()
