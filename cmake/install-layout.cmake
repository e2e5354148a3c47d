# Where `cmake --install` puts things. Linux: the usual GNU tree with Debian's
# multiarch library folder (lib/x86_64-linux-gnu) in every prefix, so one build
# tree installs and packages alike; the CMake package under
# <libdir>/cmake/Tarvo, tarvo.pc under <libdir>/pkgconfig, the Python module
# where Debian's python3 looks. Windows: one flat folder, as a Windows program
# expects a DLL beside it; the CMake package goes into its cmake/ subfolder.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries (LIBDIR)")
endif()
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
  set(TARVO_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE PATH "Folder of the tarvo Python package")
endif()
