# Packages, made by CPack into PDX_PACKAGE_DIR:
#   Linux:   a .deb and a .tar.gz of the same tree under /usr: the program, its
#            man page, the library with its headers and CMake package.
#   Windows: pdx_convert-<version>-win64.zip with the program (static
#            runtime), README.md, the man page as text, the bundled
#            example and the MATLAB/Octave functions. From a Linux configure it is made by a sub-build with
#            the mingw-w64 toolchain, so one workflow gives all three.
set(PDX_PACKAGE_DIR ${CMAKE_BINARY_DIR}/packages CACHE PATH "Where CPack leaves the packages")

set(CPACK_PACKAGE_NAME pdx_convert)
set(CPACK_PACKAGE_VENDOR "pdx_convert developers")
set(CPACK_PACKAGE_CONTACT "pdx_convert developers <pdx_convert@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${PDX_PACKAGE_DIR})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  find_program(PDX_GROFF groff REQUIRED)
  # The man page as plain text with Windows line ends, for Notepad on any
  # Windows version.
  set(pdx_man_text ${CMAKE_CURRENT_BINARY_DIR}/pdx_convert.txt)
  add_custom_command(
    OUTPUT ${pdx_man_text}
    COMMAND ${PDX_GROFF} -t -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/docs/pdx_convert.1
            > ${pdx_man_text}.lf
    COMMAND ${CMAKE_COMMAND} -DIN=${pdx_man_text}.lf -DOUT=${pdx_man_text}
            -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/pdx_convert.1 ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
    COMMENT "Rendering the man page as text")
  add_custom_target(pdx_man_text ALL DEPENDS ${pdx_man_text})

  # Only the zip's own component: the program and its documents side by side.
  install(TARGETS pdx_convert RUNTIME DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${pdx_man_text} DESTINATION .
          COMPONENT zip EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/sample_64x48.dat DESTINATION examples
          COMPONENT zip EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/clients/matlab/pdx_read_matrix.m
                ${PROJECT_SOURCE_DIR}/clients/matlab/pdx_write_matrix.m
          DESTINATION matlab COMPONENT zip EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL zip)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_PACKAGE_FILE_NAME
      ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  # Debian names allow no underscore.
  set(CPACK_DEBIAN_PACKAGE_NAME pdx-convert)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

  if(NOT CMAKE_CROSSCOMPILING)
    # The Windows zip, from the same sources with the mingw-w64 toolchain.
    include(ExternalProject)
    ExternalProject_Add(
      pdx_windows_zip
      SOURCE_DIR ${PROJECT_SOURCE_DIR}
      BINARY_DIR ${CMAKE_BINARY_DIR}/windows
      CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake
                 -DCMAKE_BUILD_TYPE=Release
                 -DPDX_BUILD_TESTS=OFF
                 -DPDX_BUILD_TOOLS=OFF
                 -DPDX_PACKAGE=ON
                 -DPDX_PACKAGE_DIR=${PDX_PACKAGE_DIR}
      INSTALL_COMMAND ${CMAKE_CPACK_COMMAND} --config <BINARY_DIR>/CPackConfig.cmake
      BUILD_ALWAYS ON
      USES_TERMINAL_BUILD ON)
  endif()
endif()

include(CPack)
