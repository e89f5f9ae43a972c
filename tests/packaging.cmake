# Tests of the manual page, the install rules and the Debian package. Each is
# a shell script in tests/packaging/.
set(packaging_scripts ${CMAKE_CURRENT_LIST_DIR}/packaging)
set(manual_page ${PROJECT_SOURCE_DIR}/doc/quavelor.1)

add_test(NAME manual_page_renders_without_warnings_and_its_synopsis_names_all_seven_arguments
  COMMAND bash ${packaging_scripts}/manual_page_test.sh ${manual_page})

add_test(NAME install_puts_the_program_in_bin_and_the_manual_page_in_share_man_man1
  COMMAND bash ${packaging_scripts}/install_test.sh
    ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${manual_page})

# The package test installs into the system with dpkg, so it runs once per
# ctest run, alone, and never in the sanitizer build, whose binary needs the
# sanitizer run-time libraries that the package does not declare. It skips
# (exit status 77) where it cannot run: not root, or no dpkg.
if(NOT QUAVELOR_SANITIZE)
  add_test(NAME debian_package_depends_on_alsa_lib_installs_runs_and_is_removed_again
    COMMAND bash ${packaging_scripts}/debian_package_test.sh
      ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_LIST_DIR}/alsa/test_devices.conf
      ${manual_page})
  set_tests_properties(debian_package_depends_on_alsa_lib_installs_runs_and_is_removed_again
    PROPERTIES RESOURCE_LOCK dpkg RUN_SERIAL TRUE SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
