// Platform identification and the memory-overwrite request.
#pragma once

#include "kit/Library.h"

constexpr UINTN SUPPORTED_PRODUCT_NAME_LENGTH = 7;
constexpr UINTN SUPPORTED_PRODUCT_COUNT = 3;
extern const CHAR16 *const SUPPORTED_PRODUCT_NAMES[SUPPORTED_PRODUCT_COUNT];
constexpr UINT32 SUPPORTED_CPU_SIGNATURE = 0x000806E9;

constexpr const CHAR16 *MEMORY_OVERWRITE_REQUEST_VARIABLE_NAME = u"MemoryOverwriteRequestControl";
constexpr UINT8 MEMORY_OVERWRITE_REQUESTED = 0xFF;
constexpr UINT8 MEMORY_OVERWRITE_CLEARED = 0x00;

// EFI_SUCCESS when a supported product with the supported processor is
// found; EFI_NOT_FOUND otherwise. Prints nothing.
EFI_STATUS CheckPlatform();

// Changes a one-byte 0xFF memory-overwrite request to 0x00, keeping its
// attributes; leaves every other value alone. Prints nothing.
VOID ClearMemoryOverwriteRequest();
