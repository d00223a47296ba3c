# Checks of what ships beside the program: the manual page, the bash
# completion and README's copy of the usage text. The package itself is
# checked by `make test-deb` (tests/packaging/deb.sh), whose lintian report
# is meant to be read.
find_program(BASH_PROGRAM bash REQUIRED)
set(pkg_tests ${CMAKE_SOURCE_DIR}/tests/packaging)
add_test(NAME packaging.manpage
  COMMAND sh ${pkg_tests}/manpage.sh $<TARGET_FILE:duruvev> ${CMAKE_SOURCE_DIR}/packaging/duruvev.1)
add_test(NAME packaging.bash_completion
  COMMAND ${BASH_PROGRAM} ${pkg_tests}/completion.sh $<TARGET_FILE:duruvev>
          ${CMAKE_SOURCE_DIR}/packaging/duruvev.bash-completion)
add_test(NAME packaging.readme_usage
  COMMAND sh ${pkg_tests}/readme_usage.sh $<TARGET_FILE:duruvev> ${CMAKE_SOURCE_DIR}/README.md)
# The collection service unit, installed into a scratch prefix and verified
# by systemd; the wrapper Makefile before a first build; and the package sets
# that the install step asks apt for.
add_test(NAME packaging.service COMMAND sh ${pkg_tests}/service.sh ${CMAKE_BINARY_DIR})
add_test(NAME packaging.first_make COMMAND sh ${pkg_tests}/first_make.sh ${CMAKE_SOURCE_DIR})
add_test(NAME packaging.deps_sets COMMAND sh ${pkg_tests}/deps_sets.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(packaging.manpage packaging.bash_completion packaging.readme_usage
  packaging.service packaging.first_make packaging.deps_sets PROPERTIES TIMEOUT 60)
