// SHA-256 (FIPS 180-4): the check of the image's copy on the stick against
// the digest the stick maker wrote beside it. Pure logic; the stick maker
// on the host uses the same code.
#pragma once

#include "kit/Library.h"

constexpr UINTN SHA256_DIGEST_SIZE = 32;

// The digest of the Size bytes at Data.
VOID Sha256(const VOID *Data, UINTN Size, UINT8 Digest[SHA256_DIGEST_SIZE]);

// Whether the Size bytes of a checksum file (as `sha256sum` writes it and
// `sha256sum -c` reads it: 64 hex digits of either case, a blank, a blank
// or '*', the name, LF or CR LF) hold a line for Name, and every line for
// Name gives Digest. Name is compared without regard to ASCII case, as the stick's FAT
// file system compares names. Pure logic.
BOOLEAN ChecksumListsDigest(const CHAR8 *Text, UINTN Size, const CHAR16 *Name,
                            const UINT8 Digest[SHA256_DIGEST_SIZE]);
