# Install rules and packages. `cmake --install` gives the header, the library,
# the tarvo tool, the CMake package (Tarvo::tarvo), tarvo.pc, the man page and
# the documents; `--target package` makes the .deb on Linux and the ZIP on
# Windows from the same rules.
include(CMakePackageConfigHelpers)

install(TARGETS tarvo EXPORT TarvoTargets
        RUNTIME DESTINATION ${TARVO_INSTALL_BINDIR}
        LIBRARY DESTINATION ${TARVO_INSTALL_LIBDIR} NAMELINK_COMPONENT Unspecified
        ARCHIVE DESTINATION ${TARVO_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tarvo.h DESTINATION ${TARVO_INSTALL_INCLUDEDIR})
install(TARGETS tarvo_tool RUNTIME DESTINATION ${TARVO_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/api.md DESTINATION ${TARVO_INSTALL_DOCDIR})

install(EXPORT TarvoTargets NAMESPACE Tarvo:: FILE TarvoTargets.cmake DESTINATION ${TARVO_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/TarvoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TarvoConfig.cmake
                              INSTALL_DESTINATION ${TARVO_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarvoConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarvoConfig.cmake ${PROJECT_BINARY_DIR}/TarvoConfigVersion.cmake
        DESTINATION ${TARVO_INSTALL_CMAKEDIR})

if(WIN32)
  # Both import libraries and the export list, beside the DLL.
  install(FILES ${PROJECT_BINARY_DIR}/Tarvo.lib ${PROJECT_SOURCE_DIR}/src/device/win32/Tarvo.def
          DESTINATION ${TARVO_INSTALL_LIBDIR})
else()
  # The tool finds the library beside it wherever the tree is installed.
  file(RELATIVE_PATH _tarvo_bin_to_lib /prefix/${TARVO_INSTALL_BINDIR} /prefix/${TARVO_INSTALL_LIBDIR})
  set_target_properties(tarvo_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${_tarvo_bin_to_lib}")

  # tarvo.pc names its prefix relative to its own folder, so it is right in
  # any prefix, in a staging tree and in the .deb alike.
  file(RELATIVE_PATH TARVO_PC_PREFIX_FROM_PCDIR /prefix/${TARVO_INSTALL_PKGCONFIGDIR} /prefix)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/install/tarvo.pc.in ${PROJECT_BINARY_DIR}/tarvo.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/tarvo.pc DESTINATION ${TARVO_INSTALL_PKGCONFIGDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/tarvo.1 DESTINATION ${TARVO_INSTALL_MANDIR}/man1)
endif()

# Packages.
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VENDOR Tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvo developers <tarvo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "plain C functions for RS-232 COM ports 1..16")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Tarvo drives serial ports through 16 plain C functions (sio_open, sio_ioctl, sio_write, sio_read, ...). "
       "Contains libtarvo.so, tarvo.h, the CMake package (Tarvo::tarvo), tarvo.pc and the tarvo command-line tool.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME tarvo-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()
include(CPack)
