// The kit's library: the globals set by the entry glue, pool memory,
// strings, formatting, device paths, port I/O and assertions.
//
// The same declarations serve the EFI build and the host build; only the
// port accessors are implemented differently (processor instructions on
// firmware, the simulated board on the host).
#pragma once

#include "kit/Uefi.h"

extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;

// The application's own entry, called once per launch by the entry glue.
EFI_STATUS HelperMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The image's entry point: stores the globals, then runs HelperMain.
extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// ---------------------------------------------------------------- memory

// Pool memory of type EfiBootServicesData through gBS; NULL on exhaustion.
VOID *AllocatePool(UINTN AllocationSize);
VOID *AllocateZeroPool(UINTN AllocationSize);
VOID FreePool(VOID *Buffer);

VOID *CopyMem(VOID *Destination, const VOID *Source, UINTN Length);
VOID *SetMem(VOID *Buffer, UINTN Length, UINT8 Value);
VOID *ZeroMem(VOID *Buffer, UINTN Length);
// 0 when the Length bytes at First and Second are the same; else the
// difference of the first bytes that differ, read unsigned.
INTN CompareMem(const VOID *First, const VOID *Second, UINTN Length);

// ---------------------------------------------------------------- strings

typedef EFI_STATUS RETURN_STATUS;
#define RETURN_SUCCESS EFI_SUCCESS
#define RETURN_INVALID_PARAMETER EFI_INVALID_PARAMETER
#define RETURN_UNSUPPORTED EFI_UNSUPPORTED
#define RETURN_BUFFER_TOO_SMALL EFI_BUFFER_TOO_SMALL

// Longest string, in characters, that the string functions accept.
constexpr UINTN KIT_MAX_STRING_LENGTH = 1000000;
constexpr UINTN MAX_UINTN = ~(UINTN)0;
constexpr UINT64 MAX_UINT64 = ~(UINT64)0;

UINTN StrLen(const CHAR16 *String);
UINTN AsciiStrLen(const CHAR8 *String);
INTN StrCmp(const CHAR16 *FirstString, const CHAR16 *SecondString);
INTN StrnCmp(const CHAR16 *FirstString, const CHAR16 *SecondString, UINTN Length);

// Skip leading blanks and tabs, then leading zeros, then read decimal
// digits up to the first other character. No digit gives 0. A value that
// does not fit saturates to MAX_UINTN and returns RETURN_UNSUPPORTED; a
// string longer than the kit's maximum returns RETURN_INVALID_PARAMETER and
// leaves *Data alone. EndPointer (optional) receives the first unread char.
RETURN_STATUS StrDecimalToUintnS(const CHAR16 *String, CHAR16 **EndPointer, UINTN *Data);
RETURN_STATUS AsciiStrDecimalToUintnS(const CHAR8 *String, CHAR8 **EndPointer, UINTN *Data);

// Widens Source into Destination, which holds DestMax characters including
// the terminating NUL. Fails without writing past DestMax when it does not fit.
RETURN_STATUS AsciiStrToUnicodeStrS(const CHAR8 *Source, CHAR16 *Destination, UINTN DestMax);

// ---------------------------------------------------------------- formatting
//
// The formatter takes its arguments as a typed array, so a format that asks
// for more arguments than were given, or for a string where a number was
// passed, prints a marker instead of reading a stray register or stack slot.
// Conversions: %s (UCS-2), %a (ASCII), %c, %u, %d (or %i), %x, %X, %r (an
// EFI_STATUS in words, or its number when it has none), %%, with '-' and '0'
// flags, a width and an ignored 'l'/'L'. An unknown conversion is printed as
// written.

enum class KitArgKind : UINT8 { Unsigned, Signed, Pointer };

struct KIT_PRINT_ARG {
  KitArgKind Kind;
  UINT64 Value;
  const VOID *Pointer;
};

template <typename T> struct KitIsPointer {
  static constexpr bool Value = false;
};
template <typename T> struct KitIsPointer<T *> {
  static constexpr bool Value = true;
};

template <typename T> constexpr KIT_PRINT_ARG KitPrintArg(T Value) {
  if constexpr (KitIsPointer<T>::Value) {
    return {KitArgKind::Pointer, 0, (const VOID *)Value};
  } else if constexpr (__is_enum(T)) {
    return {KitArgKind::Unsigned, (UINT64)Value, nullptr};
  } else if constexpr (T(-1) < T(0)) {
    return {KitArgKind::Signed, (UINT64)(INT64)Value, nullptr};
  } else {
    return {KitArgKind::Unsigned, (UINT64)Value, nullptr};
  }
}
inline KIT_PRINT_ARG KitPrintArg(decltype(nullptr)) { return {KitArgKind::Pointer, 0, nullptr}; }

// Formats UCS-2 Format with Args into Buffer, BufferSize bytes long. The
// output is cut to fit and always terminated when BufferSize allows at least
// the NUL. Returns the number of characters written, without the NUL.
UINTN KitFormatUnicode(CHAR16 *Buffer, UINTN BufferSize, const CHAR16 *Format, const KIT_PRINT_ARG *Args,
                       UINTN ArgCount);
UINTN KitFormatAscii(CHAR16 *Buffer, UINTN BufferSize, const CHAR8 *Format, const KIT_PRINT_ARG *Args,
                     UINTN ArgCount);
// Formats to the console output; returns the number of characters sent.
UINTN KitPrint(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console, const CHAR16 *Format, const KIT_PRINT_ARG *Args,
               UINTN ArgCount);

template <typename... T> UINTN Print(const CHAR16 *Format, T... Args) {
  const KIT_PRINT_ARG List[sizeof...(T) + 1] = {KitPrintArg(Args)..., {KitArgKind::Unsigned, 0, nullptr}};
  return KitPrint(gST != NULL ? gST->ConOut : NULL, Format, List, sizeof...(T));
}

// The format is 8-bit ASCII, the output UCS-2; BufferSize is in bytes.
template <typename... T>
UINTN UnicodeSPrintAsciiFormat(CHAR16 *StartOfBuffer, UINTN BufferSize, const CHAR8 *FormatString, T... Args) {
  const KIT_PRINT_ARG List[sizeof...(T) + 1] = {KitPrintArg(Args)..., {KitArgKind::Unsigned, 0, nullptr}};
  return KitFormatAscii(StartOfBuffer, BufferSize, FormatString, List, sizeof...(T));
}

// ---------------------------------------------------------------- device paths

extern const EFI_GUID gEfiDevicePathProtocolGuid;

UINTN GetDevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *DevicePath);

// The device's own path followed by one file-path node naming FileName and
// the end node, in a new pool buffer; just the file node and the end node
// when the device has no path. NULL when the pool is exhausted or the name
// does not fit a node.
EFI_DEVICE_PATH_PROTOCOL *FileDevicePath(EFI_HANDLE Device, const CHAR16 *FileName);

// ---------------------------------------------------------------- protocols

// The interface of Protocol on the first handle that carries it, opened with
// gImageHandle as agent (GET_PROTOCOL). *Interface is NULL unless the result
// is EFI_SUCCESS; no handle gives EFI_NOT_FOUND or the firmware's status.
EFI_STATUS OpenFirstProtocol(const EFI_GUID *Protocol, VOID **Interface);

// ---------------------------------------------------------------- port I/O

UINT8 IoRead8(UINTN Port);
UINT8 IoWrite8(UINTN Port, UINT8 Value);

// ---------------------------------------------------------------- assertions

// Reports "ASSERT [Tamsork] File(Line): Description" on the standard error
// console and returns: execution goes on after a failed assertion.
VOID DebugAssert(const CHAR8 *FileName, UINTN LineNumber, const CHAR8 *Description);

#if defined(__FILE_NAME__)
#define KIT_FILE_NAME __FILE_NAME__
#else
#define KIT_FILE_NAME __FILE__
#endif

#define ASSERT(Expression)                                                                                             \
  do {                                                                                                                 \
    if (!(Expression)) {                                                                                               \
      DebugAssert(KIT_FILE_NAME, __LINE__, #Expression);                                                              \
    }                                                                                                                  \
  } while (FALSE)
