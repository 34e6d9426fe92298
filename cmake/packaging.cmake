# Installation and packages.
#
#   cmake --install build --prefix /opt/zorvant   bin/zorvant, share/man/man1/zorvant.1
#   cpack --preset deb                            zorvant_<version>_<arch>.deb (Debian, Ubuntu)
#   cpack --preset rpm                            zorvant-<version>-1.<arch>.rpm (Red Hat family)
#   cpack --preset tarball                        zorvant-<version>-linux-<arch>.tar.gz (any Linux)
#   cpack --preset windows                        zorvant-<version>-win64.zip (Windows)
#
# Every package, and the program's own version resource on Windows, takes its version from
# project(... VERSION ...).

include(GNUInstallDirs)

# The man page shows the version it documents.
configure_file(doc/zorvant.1.in ${PROJECT_BINARY_DIR}/doc/zorvant.1 @ONLY)

set(ZORVANT_PACKAGE_CONTACT "zorvant maintainers <maintainers@zorvant.invalid>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
  # An operator unzips one folder: the program next to its README.
  install(TARGETS zorvant RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS zorvant RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/doc/zorvant.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
endif()

set(CPACK_PACKAGE_NAME zorvant)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zorvant")
set(CPACK_PACKAGE_CONTACT "${ZORVANT_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "cut fixed-record Shift_JIS files into one record per line")
set(CPACK_PACKAGE_DESCRIPTION
    "zorvant is the last step of a batch pipeline. It takes one Shift_JIS file of\
 256-character records laid end to end, writes every record on a line of its own\
 (records of type 2 of a marked input going to a split output), syncs the outputs\
 to disk and deletes the input. A failed, killed or interrupted run keeps its\
 input, and running the same command again finishes the job.")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

# The tarball, for a Linux with neither package manager: one folder named after the package,
# holding bin/, share/man/ and share/doc/ as an installation prefix does, so that it unpacks into
# /opt or, with --strip-components=1, into /usr/local.
# The Debian package and the RPM name their files by their own rules.
if(NOT WIN32)
  set(CPACK_PACKAGE_FILE_NAME "zorvant-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
endif()

# Red Hat family: the file name follows RPM's rules (name-version-release.arch), and the
# dependencies are found by rpmbuild from the program's shared libraries: none for the portable
# program, so that Red Hat 8 and 9 take it. The folders the package puts files into belong to
# the system.
set(CPACK_RPM_PACKAGE_NAME zorvant)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_LICENSE "Proprietary")
set(CPACK_RPM_PACKAGE_GROUP "Applications/File")
set(CPACK_RPM_PACKAGE_URL "https://zorvant.invalid/")
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
set(CPACK_RPM_PACKAGE_AUTOPROV OFF)
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/doc)
# The package holds the program, not links into the system's build-id folder.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none")

# Debian: the package's name and file name follow Debian's rules, and its dependencies are
# those of the program as dpkg-shlibdeps finds them: none for the portable program, which is the
# one the package carries, so that one package serves Debian 10 to 13 and Ubuntu 20.04 to 24.04.
set(CPACK_DEBIAN_PACKAGE_NAME zorvant)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# A package cross-built for another processor names that processor, not the build machine's.
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
endif()

include(CPack)
