# GoogleTest for the test suites: Debian's prebuilt libraries natively; for
# cross builds Debian ships only its sources, built here with the cross
# compiler. Included before the project's warning flags, which are for the
# project's own code and not for GoogleTest's.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Test scaffolding: optimising it buys the suites nothing and costs the
  # build a minute.
  foreach(library gtest gtest_main gmock gmock_main)
    target_compile_options(${library} PRIVATE -O1)
  endforeach()
  set(TARVO_GTEST_MAIN gtest_main)
  set(TARVO_GMOCK gmock)
else()
  find_package(GTest REQUIRED)
  set(TARVO_GTEST_MAIN GTest::gtest_main)
  set(TARVO_GMOCK GTest::gmock)
endif()
