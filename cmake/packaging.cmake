# Installation and packages.
#
#   cmake --install build --prefix /opt/zorvant   bin/zorvant, share/man/man1/zorvant.1
#   cpack --config build/CPackConfig.cmake        zorvant_<version>_<arch>.deb (Linux)
#                                                  zorvant-<version>-<system>.zip (Windows)

include(GNUInstallDirs)

set(ZORVANT_PACKAGE_CONTACT "zorvant maintainers <maintainers@zorvant.invalid>"
    CACHE STRING "Maintainer named in the packages")

if(WIN32)
  # An operator unzips one folder: the program next to its README.
  install(TARGETS zorvant RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS zorvant RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/zorvant.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
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
set(CPACK_VERBATIM_VARIABLES ON)

# Debian: the package's name and file name follow Debian's rules, and its dependencies are
# those of the program as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_NAME zorvant)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

include(CPack)
