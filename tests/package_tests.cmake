# What an operator installs: the man page, the Debian package, the RPM and the tarball. The scripts
# need bash, and groff or mandoc, and the Debian and RPM tools, so they run on Linux only; a test
# whose tools are missing reports itself skipped (status 77).

if(NOT WIN32)
  find_program(ZORVANT_BASH bash)
endif()
if(ZORVANT_BASH)
  add_test(NAME man_page.renders_without_warnings
    COMMAND ${ZORVANT_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/package/man_page_lint.sh
            ${PROJECT_BINARY_DIR}/doc/zorvant.1 ${PROJECT_VERSION})

  # The package is made from the build tree, so the program must be built first; cpack
  # writes the package into a temporary folder of the test's own.
  if(ZORVANT_PORTABLE)
    set(zorvant_linkage portable)
  else()
    set(zorvant_linkage native)
  endif()
  add_test(NAME package.deb_installs_and_converts
    COMMAND ${ZORVANT_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/package/deb_package_test.sh
            ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${zorvant_linkage})

  add_test(NAME package.rpm_installs_and_converts
    COMMAND ${ZORVANT_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/package/rpm_package_test.sh
            ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${zorvant_linkage})
  set(zorvant_package_tests package.deb_installs_and_converts package.rpm_installs_and_converts)

  # The tarball is for any Linux, so only the portable program goes into one.
  if(ZORVANT_PORTABLE)
    add_test(NAME package.tarball_unpacks_and_converts
      COMMAND ${ZORVANT_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/package/tarball_package_test.sh
              ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    list(APPEND zorvant_package_tests package.tarball_unpacks_and_converts)
  endif()

  set_tests_properties(man_page.renders_without_warnings ${zorvant_package_tests}
    PROPERTIES SKIP_RETURN_CODE 77)
  set_tests_properties(${zorvant_package_tests}
    PROPERTIES
    TIMEOUT 300
    REQUIRED_FILES $<TARGET_FILE:zorvant>)
endif()
