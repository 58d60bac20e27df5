# Packages, made by CPack into PDX_PACKAGE_DIR:
#   Linux:   a .deb and a .tar.gz of the same tree under /usr: the programs,
#            their man pages, the library with its headers and CMake package,
#            the copyright file and changelog in share/doc/pdx-convert.
#   Windows: pdx_convert-<version>-win64.zip with the programs (static
#            runtime), README-Windows.txt, LICENSE.txt, the bundled example
#            and the MATLAB/Octave functions. From a Linux configure it is
#            made by a sub-build with the mingw-w64 toolchain, so one
#            workflow gives all three.
#   Python:  on Linux, the pdx package's wheel for /usr/bin/python3, built at
#            build time from its source distribution (cmake/wheel.cmake).
set(PDX_PACKAGE_DIR ${CMAKE_BINARY_DIR}/packages CACHE PATH "Where CPack leaves the packages")

set(CPACK_PACKAGE_NAME pdx_convert)
set(CPACK_PACKAGE_VENDOR "pdx_convert developers")
set(CPACK_PACKAGE_CONTACT "pdx_convert developers <pdx_convert@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${PDX_PACKAGE_DIR})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip's documents as plain text with Windows line ends, for Notepad on
  # any Windows version. The sources keep Unix line ends like every other
  # file of the repository.
  set(pdx_zip_texts)
  foreach(text IN ITEMS "docs/README-Windows.txt;README-Windows.txt" "LICENSE;LICENSE.txt")
    list(GET text 0 source)
    list(GET text 1 name)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/zip/${name})
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/${source} -DOUT=${out}
              -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      COMMENT "Writing ${name} with Windows line ends")
    list(APPEND pdx_zip_texts ${out})
  endforeach()
  add_custom_target(pdx_zip_texts ALL DEPENDS ${pdx_zip_texts})

  # Only the zip's own component: the programs and their documents side by side.
  install(TARGETS ${pdx_commands} RUNTIME DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
  install(FILES ${pdx_zip_texts} DESTINATION . COMPONENT zip EXCLUDE_FROM_ALL)
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
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The lines after the summary, as they appear in the control file.
  set(CPACK_PACKAGE_DESCRIPTION [=[
pdx_convert reads the binary measurement files of a phase-measuring
interferometer and writes their phase samples as data matrix files: two
16-bit dimensions, then the signed 32-bit samples row by row, little- or
big-endian, which numpy, MATLAB, Octave or any program reads directly.
An output file appears whole or not at all.

pdx inspects, converts and exports many files per run: what each file
holds (as text or JSON Lines), conversions, and exports to Gwyddion Simple
Field, 32-bit float TIFF, NumPy .npy and PNG previews.

The package also holds the pdx_data C++20 library (static, with its
headers and CMake package) and MATLAB/Octave functions that read and
write data matrix files.]=])

  if(NOT CMAKE_CROSSCOMPILING)
    set(PDX_WHEEL_PYTHON /usr/bin/python3 CACHE FILEPATH "The Python the wheel is built for")
    execute_process(COMMAND ${PDX_WHEEL_PYTHON} -c "import build, setuptools, pybind11"
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(rc EQUAL 0)
      add_custom_target(
        pdx_wheel ALL
        COMMAND ${CMAKE_COMMAND} -DPYTHON=${PDX_WHEEL_PYTHON} -DSOURCE=${PROJECT_SOURCE_DIR}
                -DWORK=${CMAKE_BINARY_DIR}/python-dist -DDEST=${PDX_PACKAGE_DIR}
                -P ${PROJECT_SOURCE_DIR}/cmake/wheel.cmake
        USES_TERMINAL VERBATIM)
    else()
      message(STATUS "python3-build, python3-setuptools or pybind11 missing for "
                     "${PDX_WHEEL_PYTHON}: no wheel is made")
    endif()

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
