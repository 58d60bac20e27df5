# Run by ctest (see cmake/install.cmake): installs the build tree BUILD_DIR
# into WORK_DIR/prefix, builds the consumer in CONSUMER_DIR against the
# installed package and runs it, and checks the program and the man page.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})

include(GNUInstallDirs)
foreach(file ${CMAKE_INSTALL_BINDIR}/pdx_convert ${CMAKE_INSTALL_MANDIR}/man1/pdx_convert.1.gz
             include/pdx/util/errors.h include/pdx/datafile/matrix_file.h
             include/pdx/matrix/region_matrix.h include/pdx/measure/stats.h)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# The platform layer's headers are the library's own business.
foreach(file platform.h platform_memory.h stream_size.h)
  if(EXISTS ${prefix}/include/pdx/util/${file})
    message(FATAL_ERROR "installed, but private: include/pdx/util/${file}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=${CONFIG}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer ${config_args})
run(${WORK_DIR}/consumer/consumer ${WORK_DIR}/consumer/out.mat)
