# Builds the Windows ZIP of this build tree and checks its listing: one folder
# tarvo-<version>-<system> with exactly the files a Windows user drops beside a
# program, the CMake package, and the documents.
#   cmake -DBUILD=<tree> -DNAME=tarvo-1.1.0-win32 -P zip_package.cmake
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

set(expected Tarvo.dll Tarvo.lib libTarvo.dll.a Tarvo.def tarvo.h tarvo.exe README.md api.md
             cmake/TarvoConfig.cmake cmake/TarvoConfigVersion.cmake cmake/TarvoTargets.cmake
             cmake/TarvoTargets-relwithdebinfo.cmake)
list(TRANSFORM expected PREPEND ${NAME}/)
list(SORT expected)
message(STATUS "${zip}:")
foreach(entry ${listing})
  message(STATUS "  ${entry}")
endforeach()
if(NOT listing STREQUAL expected)
  message(FATAL_ERROR "the ZIP holds\n  ${listing}\nexpected\n  ${expected}")
endif()

# The DLL in the ZIP is the one this tree built, and the export list is the
# one it was linked with.
file(REMOVE_RECURSE ${BUILD}/packages/unzipped)
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${BUILD}/packages/unzipped)
foreach(pair "Tarvo.dll;${BUILD}/Tarvo.dll" "Tarvo.def;${SOURCE}/src/device/win32/Tarvo.def")
  list(GET pair 0 name)
  list(GET pair 1 original)
  file(SHA256 ${BUILD}/packages/unzipped/${NAME}/${name} packed)
  file(SHA256 ${original} built)
  if(NOT packed STREQUAL built)
    message(FATAL_ERROR "${name} in the ZIP differs from ${original}")
  endif()
endforeach()
message(STATUS "PASS: ${NAME}.zip")
