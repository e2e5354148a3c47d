# Install rules, in components that the packages split along:
#   Runtime      the shared library with its soname link (Tarvo.dll on Windows)
#   Development  tarvo.h (and tarvo_ext.h on Linux), the .so link or import libraries and Tarvo.def,
#                the CMake package (Tarvo::tarvo), tarvo.pc
#   Tool         the tarvo tool and its man page
#   Python       the tarvo Python module (Linux)
#   Documents    LICENSE, the API reference and, on Windows, the README for
#                Windows users
# `cmake --install` installs all of them.
include(CMakePackageConfigHelpers)

install(TARGETS tarvo EXPORT TarvoTargets
        RUNTIME DESTINATION ${TARVO_INSTALL_BINDIR} COMPONENT Runtime
        LIBRARY DESTINATION ${TARVO_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${TARVO_INSTALL_LIBDIR} COMPONENT Development)
install(FILES ${PROJECT_SOURCE_DIR}/include/tarvo.h DESTINATION ${TARVO_INSTALL_INCLUDEDIR} COMPONENT Development)
if(NOT WIN32)
  # The extensions are libtarvo.so's alone: Tarvo.dll exports the 16 functions only.
  install(FILES ${PROJECT_SOURCE_DIR}/include/tarvo_ext.h DESTINATION ${TARVO_INSTALL_INCLUDEDIR} COMPONENT Development)
endif()
install(TARGETS tarvo_tool RUNTIME DESTINATION ${TARVO_INSTALL_BINDIR} COMPONENT Tool)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/docs/api.md
        DESTINATION ${TARVO_INSTALL_DOCDIR} COMPONENT Documents)

install(EXPORT TarvoTargets NAMESPACE Tarvo:: FILE TarvoTargets.cmake DESTINATION ${TARVO_INSTALL_CMAKEDIR}
        COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/TarvoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TarvoConfig.cmake
                              INSTALL_DESTINATION ${TARVO_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarvoConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarvoConfig.cmake ${PROJECT_BINARY_DIR}/TarvoConfigVersion.cmake
        DESTINATION ${TARVO_INSTALL_CMAKEDIR} COMPONENT Development)

if(WIN32)
  # Both import libraries and the export list, beside the DLL.
  install(FILES ${PROJECT_BINARY_DIR}/Tarvo.lib ${TARVO_CONTRACT_DEF}
          DESTINATION ${TARVO_INSTALL_LIBDIR} COMPONENT Development)
  # The trace build, put in the DLL's place to log every call of a program.
  install(FILES $<TARGET_FILE:tarvo_trace_dll> DESTINATION ${TARVO_INSTALL_BINDIR}/trace COMPONENT Runtime)
  set(VERSION ${PROJECT_VERSION})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ARCH win64)
    set(BITS 64)
  else()
    set(ARCH win32)
    set(BITS 32)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt ${PROJECT_BINARY_DIR}/README.txt @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION ${TARVO_INSTALL_DOCDIR} COMPONENT Documents)
  return()
endif()

# The tool finds the library of its own tree wherever the tree is installed;
# in /usr the system's library path finds it, and Debian allows no RUNPATH
# there.
file(RELATIVE_PATH _tarvo_bin_to_lib /prefix/${TARVO_INSTALL_BINDIR} /prefix/${TARVO_INSTALL_LIBDIR})
set_target_properties(tarvo_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${_tarvo_bin_to_lib}")
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${TARVO_INSTALL_BINDIR}/$<TARGET_FILE_NAME:tarvo_tool>\")
  endif()" COMPONENT Tool)
install(FILES ${PROJECT_SOURCE_DIR}/docs/tarvo.1 DESTINATION ${TARVO_INSTALL_MANDIR}/man1 COMPONENT Tool)

# tarvo.pc names the prefix it is installed into as a plain absolute path
# (prefix=/usr), so it is written at install time, when the prefix is known.
set(TARVO_PC_PREFIX @TARVO_PC_PREFIX@)  # kept for the install step to fill in
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/tarvo.pc.in ${PROJECT_BINARY_DIR}/tarvo.pc.in @ONLY)
install(CODE "
  set(_tarvo_pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TARVO_INSTALL_PKGCONFIGDIR}/tarvo.pc\")
  message(STATUS \"Installing: \${_tarvo_pc}\")
  file(READ \"${PROJECT_BINARY_DIR}/tarvo.pc.in\" _tarvo_pc_text)
  string(REPLACE \"@TARVO_PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" _tarvo_pc_text \"\${_tarvo_pc_text}\")
  file(WRITE \"\${_tarvo_pc}\" \"\${_tarvo_pc_text}\")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_tarvo_pc}\")" COMPONENT Development)
