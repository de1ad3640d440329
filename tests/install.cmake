# cmake --install gives another program what it needs to use the library: the archive, the
# public headers and a pkg-config file. Not in sanitizer or fuzz trees: their archive needs the
# sanitizer runtimes that a plain program does not link.
if(NOT QC_SANITIZE AND NOT QC_FUZZ)
  add_test(NAME Install.AProgramBuildsAgainstTheInstalledLibrary
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install/check_install.sh ${CMAKE_BINARY_DIR}
            ${CMAKE_CXX_COMPILER})
  set_tests_properties(Install.AProgramBuildsAgainstTheInstalledLibrary PROPERTIES
    LABELS unit TIMEOUT 120)
endif()
