# Builds the Windows ZIP of this build tree and checks its listing: one folder
# tarvo-<version>-<system> with exactly the files a Windows user drops beside a
# program, the CMake package, and the documents; the binaries are this tree's,
# stripped, and SHA256SUMS holds.
#   cmake -DBUILD=<tree> -DSOURCE=<source> -DNAME=tarvo-<version>-win32 -DOBJDUMP=<objdump> -P zip_package.cmake
set(zip ${BUILD}/packages/${NAME}.zip)
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target package RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0 OR NOT EXISTS ${zip})
  message(FATAL_ERROR "building the package target failed (${rc}) or made no ${zip}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list ${zip}")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" listing "${listing}")
list(FILTER listing EXCLUDE REGEX "/$")  # folder entries
list(SORT listing)

set(expected Tarvo.dll trace/Tarvo.dll Tarvo.lib libTarvo.dll.a Tarvo.def tarvo.h tarvo.exe LICENSE README.txt SHA256SUMS api.md
             cmake/TarvoConfig.cmake cmake/TarvoConfigVersion.cmake cmake/TarvoTargets.cmake
             cmake/TarvoTargets-release.cmake)
list(TRANSFORM expected PREPEND ${NAME}/)
list(SORT expected)
message(STATUS "${zip}:")
foreach(entry ${listing})
  message(STATUS "  ${entry}")
endforeach()
if(NOT listing STREQUAL expected)
  message(FATAL_ERROR "the ZIP holds\n  ${listing}\nexpected\n  ${expected}")
endif()

# The binaries in the ZIP are the ones this tree built (and its tests ran),
# and the export list is the one it was linked with.
set(unzipped ${BUILD}/packages/unzipped/${NAME})
file(REMOVE_RECURSE ${BUILD}/packages/unzipped)
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${BUILD}/packages/unzipped)
foreach(pair "Tarvo.dll;${BUILD}/Tarvo.dll" "trace/Tarvo.dll;${BUILD}/trace/Tarvo.dll" "tarvo.exe;${BUILD}/tools/tarvo.exe" "Tarvo.lib;${BUILD}/Tarvo.lib"
             "libTarvo.dll.a;${BUILD}/libTarvo.dll.a" "Tarvo.def;${BUILD}/Tarvo.def"
             "LICENSE;${SOURCE}/LICENSE")
  list(GET pair 0 name)
  list(GET pair 1 original)
  file(SHA256 ${unzipped}/${name} packed)
  file(SHA256 ${original} built)
  if(NOT packed STREQUAL built)
    message(FATAL_ERROR "${name} in the ZIP differs from ${original}")
  endif()
endforeach()

# Stripped: no symbol table, no debugging sections.
foreach(binary Tarvo.dll trace/Tarvo.dll tarvo.exe)
  execute_process(COMMAND ${OBJDUMP} -h ${unzipped}/${binary} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR sections MATCHES "\\.debug_")
    message(FATAL_ERROR "${binary} carries debugging sections (or objdump -h failed):\n${sections}")
  endif()
  execute_process(COMMAND ${OBJDUMP} -t ${unzipped}/${binary} OUTPUT_VARIABLE symbols)
  if(symbols MATCHES "\\[ *[0-9]+\\]")
    message(FATAL_ERROR "${binary} carries a symbol table")
  endif()
endforeach()

# SHA256SUMS names every other file with its checksum.
file(STRINGS ${unzipped}/SHA256SUMS sums)
set(summed "")
foreach(line IN LISTS sums)
  if(NOT line MATCHES "^([0-9a-f]+)  (.+)$")
    message(FATAL_ERROR "SHA256SUMS: malformed line '${line}'")
  endif()
  file(SHA256 ${unzipped}/${CMAKE_MATCH_2} actual)
  if(NOT actual STREQUAL CMAKE_MATCH_1)
    message(FATAL_ERROR "SHA256SUMS: ${CMAKE_MATCH_2} does not match")
  endif()
  list(APPEND summed ${NAME}/${CMAKE_MATCH_2})
endforeach()
list(APPEND summed ${NAME}/SHA256SUMS)
list(SORT summed)
if(NOT summed STREQUAL expected)
  message(FATAL_ERROR "SHA256SUMS covers\n  ${summed}\nnot\n  ${expected}")
endif()
message(STATUS "PASS: ${NAME}.zip")
