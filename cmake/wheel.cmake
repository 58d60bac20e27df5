# Run at build time by packaging.cmake: builds the pdx package's source
# distribution from SOURCE and its wheel from that (so the wheel proves the
# source distribution complete), both into WORK, with PYTHON; then copies
# the wheel to DEST.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${PYTHON} -m build --no-isolation --outdir ${WORK} ${SOURCE}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the pdx wheel failed")
endif()
file(GLOB wheel ${WORK}/*.whl)
list(LENGTH wheel count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one wheel in ${WORK}, found: ${wheel}")
endif()
file(COPY ${wheel} DESTINATION ${DEST})
