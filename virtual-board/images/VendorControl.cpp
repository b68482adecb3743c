// VendorControl.efi: a resident boot-service driver that stands in for the
// board firmware's control protocol. Loaded from startup.nsh with the
// Shell's `load`, it installs the protocol on a new handle and stays in
// memory. A Request records its arguments on the vendor record port and the
// console, then resets the board as the real firmware does for the reset
// command (QEMU, started with -no-reboot, ends the boot there).
#include "virtual-board/images/StandIn.h"

namespace {

const EFI_GUID kVendorControlProtocolGuid = {
    0x937A7061, 0xE4FA, 0x11E5, {0xAC, 0xDB, 0x40, 0xA8, 0xF0, 0x57, 0x39, 0x9B}};

// How many bytes of the request's buffer go into the record.
constexpr UINTN kRecordedDataBytes = 16;

typedef EFI_STATUS(EFIAPI *REQUEST_FUNCTION)(VOID *This, UINTN Command, UINTN SubCommand, UINTN Function,
                                             UINT32 Argument, VOID *Buffer, UINT32 BufferSize, UINT64 *Result);

struct VENDOR_CONTROL_INTERFACE {
  VOID *Reserved;
  REQUEST_FUNCTION Request;
};
static_assert(offsetof(VENDOR_CONTROL_INTERFACE, Request) == 8);

EFI_STATUS EFIAPI Request(VOID *This, UINTN Command, UINTN SubCommand, UINTN Function, UINT32 Argument,
                          VOID *Buffer, UINT32 BufferSize, UINT64 *Result);

VENDOR_CONTROL_INTERFACE gInterface = {NULL, Request};

// The first bytes of the buffer in hex, "-" when there is none.
VOID DescribeData(const VOID *Buffer, UINT32 BufferSize, CHAR16 *Text, UINTN TextSize) {
  static const CHAR16 Digits[] = u"0123456789abcdef";
  UINTN Used = 0;
  if (Buffer == NULL || BufferSize == 0) {
    Text[Used++] = u'-';
  } else {
    const UINT8 *Bytes = (const UINT8 *)Buffer;
    UINTN Count = BufferSize < kRecordedDataBytes ? BufferSize : kRecordedDataBytes;
    for (UINTN I = 0; I < Count && Used + 3 <= TextSize / sizeof(CHAR16); I++) {
      Text[Used++] = Digits[Bytes[I] >> 4];
      Text[Used++] = Digits[Bytes[I] & 0xF];
    }
  }
  Text[Used] = 0;
}

EFI_STATUS EFIAPI Request(VOID *This, UINTN Command, UINTN SubCommand, UINTN Function, UINT32 Argument,
                          VOID *Buffer, UINT32 BufferSize, UINT64 *Result) {
  CHAR16 Data[2 * kRecordedDataBytes + 2];
  DescribeData(Buffer, BufferSize, Data, sizeof(Data));
  const CHAR16 *Format =
      u"REQUEST this=%a command=0x%x subcommand=0x%x function=0x%x argument=0x%x buffer=%a size=%u result=%a "
      u"data=%s";
  const CHAR8 *ThisText = This == &gInterface ? "interface" : (This == NULL ? "null" : "other");
  const CHAR8 *BufferText = Buffer != NULL ? "set" : "null";
  const CHAR8 *ResultText = Result != NULL ? "set" : "null";
  Record(VENDOR_RECORD_PORT, Format, ThisText, Command, SubCommand, Function, Argument, BufferText, BufferSize,
         ResultText, Data);
  Print(u"VendorControl: request 0x%x/0x%x/0x%x argument 0x%x size %u, resetting the board\r\n", Command,
        SubCommand, Function, Argument, BufferSize);

  gRT->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, NULL);

  // Not reached on the virtual board; a firmware that returns from a reset
  // leaves the caller a failed request.
  Record(VENDOR_RECORD_PORT, u"RESET-RETURNED");
  if (Result != NULL) {
    *Result = 0;
  }
  return EFI_DEVICE_ERROR;
}

}  // namespace

EFI_STATUS HelperMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  EFI_HANDLE Handle = NULL;
  EFI_STATUS Status =
      gBS->InstallProtocolInterface(&Handle, &kVendorControlProtocolGuid, EFI_NATIVE_INTERFACE, &gInterface);
  Record(VENDOR_RECORD_PORT, u"INSTALLED status=0x%x", Status);
  Print(u"VendorControl: protocol installed (status 0x%x)\r\n", Status);
  // A driver that returns success stays resident; an error unloads it.
  return Status;
}
