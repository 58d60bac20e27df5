# Windows resources of a program: the version information its Properties
# dialog shows, and the application manifest (long paths, Windows 10 and 11,
# no elevation). Every .exe the project ships takes them:
#
#   pdx_windows_resources(<target> "<description>")
#
# The RC language must be enabled in the top directory first.
function(pdx_windows_resources target description)
  set(PDX_APP_NAME ${target})
  set(PDX_APP_DESCRIPTION "${description}")
  set(PDX_APP_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/windows/app.manifest)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/app.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # The compiled resources hold the manifest's bytes.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${PDX_APP_MANIFEST})
endfunction()
