# Where `cmake --install` puts things. Linux: the usual GNU tree, with the CMake
# package under lib/cmake/Tarvo and tarvo.pc under lib/pkgconfig. Windows: one
# flat folder, as a Windows program expects a DLL beside it; the CMake package
# goes into its cmake/ subfolder.
include(GNUInstallDirs)
if(WIN32)
  set(TARVO_INSTALL_BINDIR .)
  set(TARVO_INSTALL_LIBDIR .)
  set(TARVO_INSTALL_INCLUDEDIR .)
  set(TARVO_INSTALL_DOCDIR .)
  set(TARVO_INSTALL_CMAKEDIR cmake)
else()
  set(TARVO_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(TARVO_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(TARVO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(TARVO_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvo)
  set(TARVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvo)
  set(TARVO_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  set(TARVO_INSTALL_MANDIR ${CMAKE_INSTALL_MANDIR})
endif()
