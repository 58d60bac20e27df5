# Run at build time by CMakeLists.txt: copies the package's Python files
# (FILES, comma-separated, from SOURCE to DEST) and writes the distribution metadata that
# makes the build tree an installed package to importlib.metadata, so that
# xarray finds the backend: DIST_INFO/METADATA for VERSION and
# DIST_INFO/entry_points.txt with the entry points that PYPROJECT declares.
string(REPLACE "," ";" FILES "${FILES}")
foreach(file IN LISTS FILES)
  file(COPY_FILE ${SOURCE}/${file} ${DEST}/${file})
endforeach()

file(MAKE_DIRECTORY ${DIST_INFO})
file(WRITE ${DIST_INFO}/METADATA "Metadata-Version: 2.1\nName: pdx\nVersion: ${VERSION}\n")
# Each [project.entry-points."<group>"] table becomes a [<group>] section.
file(STRINGS ${PYPROJECT} lines)
set(entry_points "")
set(in_group FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^\\[project\\.entry-points\\.\"([^\"]+)\"\\]")
    string(APPEND entry_points "[${CMAKE_MATCH_1}]\n")
    set(in_group TRUE)
  elseif(line MATCHES "^\\[")
    set(in_group FALSE)
  elseif(in_group AND line MATCHES "^([A-Za-z0-9_.-]+) *= *\"([^\"]+)\"")
    string(APPEND entry_points "${CMAKE_MATCH_1} = ${CMAKE_MATCH_2}\n")
  endif()
endforeach()
if(entry_points STREQUAL "")
  message(FATAL_ERROR "${PYPROJECT} declares no entry points")
endif()
file(WRITE ${DIST_INFO}/entry_points.txt "${entry_points}")
