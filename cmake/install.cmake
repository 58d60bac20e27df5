# Installation: the pdx_convert program and its man page, the pdx_data library
# with its public headers, and a CMake package for consumers:
#
#   find_package(pdx_convert REQUIRED)
#   target_link_libraries(app PRIVATE pdx::data)
#
# Headers go under include/pdx and keep their directories, so consumers
# include them as <pdx/util/errors.h>, <pdx/datafile/matrix_file.h> and so on.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(pdx_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/pdx_convert)

install(TARGETS pdx_convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/pdx_convert.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  # Compressed, as man pages are installed on Linux.
  set(pdx_man_gz ${CMAKE_CURRENT_BINARY_DIR}/pdx_convert.1.gz)
  file(ARCHIVE_CREATE OUTPUT ${pdx_man_gz} PATHS ${CMAKE_CURRENT_SOURCE_DIR}/docs/pdx_convert.1
       FORMAT raw COMPRESSION GZip)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                         ${CMAKE_CURRENT_SOURCE_DIR}/docs/pdx_convert.1)
  install(FILES ${pdx_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
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
