# What `make install` and `make deb` put on a computer, under the prefix:
#   bin/tamsork
#   share/tamsork/Tamsork.efi            the EFI build's image, byte for byte
#   share/tamsork/Tamsork.signed.efi     only when make sign signed that image
#   share/man/man1/tamsork.1             (gzip-compressed in the package)
#   share/doc/tamsork/                   README.md and docs/
# and the Debian package made of them by CPack.

# The man page, from its scdoc source.
find_program(SCDOC scdoc REQUIRED)
set(TAMSORK_MAN_SOURCE ${CMAKE_SOURCE_DIR}/tools/tamsork.1.scd)
set(TAMSORK_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/tamsork.1)
add_custom_command(OUTPUT ${TAMSORK_MAN_PAGE}
  COMMAND sh -c "\"$0\" <\"$1\" >\"$2.part\" && mv \"$2.part\" \"$2\"" ${SCDOC} ${TAMSORK_MAN_SOURCE} ${TAMSORK_MAN_PAGE}
  DEPENDS ${TAMSORK_MAN_SOURCE}
  COMMENT "Writing the man page tamsork.1"
  VERBATIM)
add_custom_target(tamsork_man ALL DEPENDS ${TAMSORK_MAN_PAGE})

install(TARGETS tamsork RUNTIME DESTINATION bin)
# TAMSORK_INSTALL_EFI_DIR may be given to cmake -P cmake_install.cmake
# instead (the install test does).
install(CODE "if(NOT DEFINED TAMSORK_INSTALL_EFI_DIR)
  set(TAMSORK_INSTALL_EFI_DIR \"${TAMSORK_EFI_BUILD_DIR}\")
endif()
include(\"${CMAKE_SOURCE_DIR}/cmake/InstallEfi.cmake\")")
install(FILES ${TAMSORK_MAN_PAGE} DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/tamsork)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/tamsork OPTIONAL)

# make deb: build/tamsork_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamsork)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tamsork developers <tamsork@localhost>")
# The shared libraries the command links, found by dpkg-shlibdeps, and the
# programs stick --disk-image runs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "mtools, dosfstools")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make USB sticks that update a machine's BIOS over several boots")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tamsork.efi is a UEFI Shell application that updates a machine's BIOS from
a USB stick: started at every boot by the stick's startup.nsh, it checks
the image's version and checksum, runs the board maker's flash tool once
and records each step on the stick, so the update goes on after each
restart.
.
The tamsork command puts Tamsork.efi, the BIOS image, the flash tool and
startup.nsh on a mounted stick or into a FAT disk image (tamsork stick),
reads the Tamsork.log brought back on the stick (tamsork log), shows what
each boot of an update would do on a simulated machine without updating
anything (tamsork simulate), and shows a BIOS image's version marker
(tamsork inspect). The package holds Tamsork.efi, and a copy signed for
Secure Boot when it was built from a signed build.")
# Their tests: every option of the command in the man page; the layout
# under DESTDIR, the signed image's rule, the installed command's default
# Tamsork.efi, and the package's files and Depends.
add_test(NAME package.man_page
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/man_page_test.sh $<TARGET_FILE:tamsork> ${TAMSORK_MAN_SOURCE})
add_test(NAME package.install
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/install_test.sh ${CMAKE_BINARY_DIR} ${TAMSORK_EFI_BUILD_DIR}
    ${CMAKE_CURRENT_BINARY_DIR}/install-test)
set_tests_properties(package.man_page package.install PROPERTIES LABELS package TIMEOUT 120 SKIP_RETURN_CODE 77)

# The man page compressed, as Debian keeps them.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/CompressManPage.cmake)
include(CPack)
