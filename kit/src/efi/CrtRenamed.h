// The EFI build's C runtime (Crt.cpp) under other names, CrtMemset,
// CrtMemcpy, CrtMemmove and CrtMemcmp, for host code that tests or measures
// it while the host's own functions stay in use.
#pragma once

#define memset CrtMemset
#define memcpy CrtMemcpy
#define memmove CrtMemmove
#define memcmp CrtMemcmp
#define _fltused CrtFltused
#include "kit/src/efi/Crt.cpp"
#undef memset
#undef memcpy
#undef memmove
#undef memcmp
#undef _fltused
