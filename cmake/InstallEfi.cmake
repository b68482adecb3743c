# Run by `make install` and by CPack: installs the EFI build's Tamsork.efi
# into share/tamsork, and Tamsork.signed.efi beside it only when
# scripts/sign-efi (make sign) signed this very Tamsork.efi, as its
# Tamsork.signed.efi.unsigned-sha256 records. A signed image from another
# Tamsork.efi (an earlier build, signed before the last make efi) is not
# installed, and one an earlier install left in share/tamsork is removed:
# a stick must never get a signed image whose code differs from the
# unsigned one installed with it.
#
# TAMSORK_INSTALL_EFI_DIR: the EFI build (build/efi), given by the rules.

set(efi "${TAMSORK_INSTALL_EFI_DIR}/Tamsork.efi")
set(signed "${TAMSORK_INSTALL_EFI_DIR}/Tamsork.signed.efi")
set(destination "${CMAKE_INSTALL_PREFIX}/share/tamsork")

if(NOT EXISTS "${efi}")
  message(FATAL_ERROR "${efi} is not there: run make efi first")
endif()
file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${efi}")

set(signed_matches FALSE)
if(EXISTS "${signed}" AND EXISTS "${signed}.unsigned-sha256")
  file(SHA256 "${efi}" built)
  file(STRINGS "${signed}.unsigned-sha256" recorded LIMIT_COUNT 1 REGEX "^[0-9a-f]+ ")
  string(REGEX MATCH "^[0-9a-f]+" recorded "${recorded}")
  if(recorded STREQUAL built)
    set(signed_matches TRUE)
  endif()
endif()

if(signed_matches)
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${signed}")
else()
  if(EXISTS "${signed}")
    message(STATUS "Not installing ${signed}: it was not signed from this Tamsork.efi (make sign signs it again)")
  endif()
  file(REMOVE "$ENV{DESTDIR}${destination}/Tamsork.signed.efi")
endif()
