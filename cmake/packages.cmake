# Packages from the install rules: `--target package` makes the Debian
# packages on Linux (packaging/debian/) and the ZIP on Windows
# (packaging/windows/), in <build>/packages/.

# Who answers for the packages: the Maintainer of every .deb, the signature
# of the changelog entry, the contact in the copyright file.
set(TARVO_MAINTAINER "Tarvo Maintainers <maintainers@tarvo.example.org>" CACHE STRING
    "Name <address> of the packages' maintainer")
# The release's date: its changelog entry, and every file time in the packages.
set(TARVO_RELEASE_DATE "Tue, 08 Dec 2026 09:00:00 +0000")

set(TARVO_PACKAGES_DIR ${PROJECT_BINARY_DIR}/packages)
set(TARVO_PYTHON_HOST /usr/bin/python3 CACHE FILEPATH "Python that packages and tests the Python module")

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(TARVO_ZIP_NAME tarvo-${PROJECT_VERSION}-win64)
  else()
    set(TARVO_ZIP_NAME tarvo-${PROJECT_VERSION}-win32)
  endif()
  # The files of the build tree as they are, into one folder, then zipped
  # with fixed times and order: the DLL the tests ran is the DLL shipped.
  set(stage ${PROJECT_BINARY_DIR}/packaging/stage)
  add_custom_target(package
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${stage}/${TARVO_ZIP_NAME}
    COMMAND ${TARVO_PYTHON_HOST} ${PROJECT_SOURCE_DIR}/packaging/windows/make_zip.py ${stage}/${TARVO_ZIP_NAME}
            ${TARVO_PACKAGES_DIR}/${TARVO_ZIP_NAME}.zip ${TARVO_RELEASE_DATE}
    DEPENDS tarvo tarvo_trace_dll tarvo_tool tarvo_msvc_import_lib
    COMMENT "Windows ZIP: ${TARVO_PACKAGES_DIR}/${TARVO_ZIP_NAME}.zip"
    VERBATIM)
  return()
endif()

set(debian ${PROJECT_BINARY_DIR}/packaging/debian)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/control.in ${debian}/control @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${debian}/changelog @ONLY)
# Debian's machine-readable copyright file carries LICENSE's notice and text.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${license}")
set(TARVO_COPYRIGHT "${CMAKE_MATCH_1}")
string(FIND "${license}" "Permission is hereby granted" text_at)
string(SUBSTRING "${license}" ${text_at} -1 license_text)
string(STRIP "${license_text}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text " ${license_text}")
set(TARVO_LICENSE_TEXT "${license_text}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in ${debian}/copyright @ONLY)
add_custom_target(package
  COMMAND ${PROJECT_SOURCE_DIR}/packaging/debian/build-debs.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
          ${TARVO_PACKAGES_DIR}
  DEPENDS tarvo tarvo_tool tarvo_python
  COMMENT "Debian packages in ${TARVO_PACKAGES_DIR}"
  VERBATIM)
