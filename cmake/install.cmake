# Installation: the pdx_convert and pdx programs and their man pages, the
# licence, the pdx_data library with its public headers, and a CMake package for consumers:
#
#   find_package(pdx_convert REQUIRED)
#   target_link_libraries(app PRIVATE pdx::data)
#
# Headers go under include/pdx and keep their directories, so consumers
# include them as <pdx/util/errors.h>, <pdx/datafile/matrix_file.h> and so on.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(pdx_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/pdx_convert)

# Folders an installation creates are rwxr-xr-x whatever the umask, as
# packages require.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The documents' folder has the Debian package's name.
set(pdx_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/pdx-convert)

# The commands (pdx where the export writers are built).
set(pdx_commands pdx_convert)
if(TARGET pdx)
  list(APPEND pdx_commands pdx)
endif()
install(TARGETS ${pdx_commands} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  foreach(command IN LISTS pdx_commands)
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/${command}.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE DESTINATION ${pdx_doc_dir})
else()
  # Compressed as Debian wants man pages and changelogs: gzip -9n, the best
  # compression and no name or time in the header, so every build gives the
  # same bytes.
  find_program(PDX_GZIP gzip)
  function(pdx_gzip in out)
    if(PDX_GZIP)
      execute_process(COMMAND ${PDX_GZIP} -9n -c ${in} OUTPUT_FILE ${out} COMMAND_ERROR_IS_FATAL ANY)
    else()
      file(ARCHIVE_CREATE OUTPUT ${out} PATHS ${in} FORMAT raw COMPRESSION GZip
           COMPRESSION_LEVEL 9)
    endif()
  endfunction()

  foreach(command IN LISTS pdx_commands)
    set(pdx_man_gz ${CMAKE_CURRENT_BINARY_DIR}/${command}.1.gz)
    pdx_gzip(${CMAKE_CURRENT_SOURCE_DIR}/docs/${command}.1 ${pdx_man_gz})
    install(FILES ${pdx_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                           ${CMAKE_CURRENT_SOURCE_DIR}/docs/${command}.1)
  endforeach()

  # The licence as a machine-readable Debian copyright file: the holder and
  # the terms come from LICENSE, the terms indented with "." for an empty
  # line.
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE pdx_licence)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])" pdx_match "${pdx_licence}")
  set(pdx_holder "${CMAKE_MATCH_1}")
  string(REPLACE "\n\n" "\n.\n" pdx_terms "${CMAKE_MATCH_2}")
  string(REPLACE "\n" "\n " pdx_terms "${pdx_terms}")
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: pdx_convert

Files: *
Copyright: @pdx_holder@
License: Expat
 @pdx_terms@
")

  # A Debian changelog of one entry, for this version; its date is the
  # build's, or SOURCE_DATE_EPOCH's when that is set.
  string(TIMESTAMP pdx_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY CONTENT
"pdx-convert (@PROJECT_VERSION@) unstable; urgency=medium

  * pdx_convert and pdx @PROJECT_VERSION@.

 -- pdx_convert developers <pdx_convert@example.org>  @pdx_changelog_date@
")
  pdx_gzip(${CMAKE_CURRENT_BINARY_DIR}/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${pdx_doc_dir})

  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                         ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
endif()

foreach(header IN LISTS pdx_public_headers)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir})
endforeach()

set_target_properties(pdx_data PROPERTIES EXPORT_NAME data)
install(TARGETS pdx_data EXPORT pdx_convert_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT pdx_convert_targets NAMESPACE pdx:: FILE pdx_convertTargets.cmake
        DESTINATION ${pdx_package_dir})

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/pdx_convertConfig.cmake
     "include(\${CMAKE_CURRENT_LIST_DIR}/pdx_convertTargets.cmake)\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pdx_convertConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pdx_convertConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/pdx_convertConfigVersion.cmake
        DESTINATION ${pdx_package_dir})

# The installed tree works: install into a scratch prefix, then configure,
# build and run a small program against the package with the same compiler
# and flags.
if(PDX_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME install_and_consume
           COMMAND ${CMAKE_COMMAND}
                   -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DWORK_DIR=${CMAKE_BINARY_DIR}/install-test
                   -DCONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/tests/install
                   -DCONFIG=$<CONFIG>
                   -DGENERATOR=${CMAKE_GENERATOR}
                   -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
                   "-DCXX_FLAGS=${CMAKE_CXX_FLAGS}"
                   "-DLINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}"
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/tests/install/install_test.cmake)
  set_tests_properties(install_and_consume PROPERTIES TIMEOUT 300)
endif()
