#include "app/checks/MachineIdentity.h"

#include "app/checks/Platform.h"
#include "app/checks/Smbios.h"

namespace {

bool AllBytes(const UINT8 *Bytes, UINTN Count, UINT8 Value) {
  for (UINTN I = 0; I < Count; I++) {
    if (Bytes[I] != Value) {
      return false;
    }
  }
  return true;
}

bool SameBytes(const VOID *A, const VOID *B, UINTN Count) {
  const UINT8 *X = (const UINT8 *)A;
  const UINT8 *Y = (const UINT8 *)B;
  for (UINTN I = 0; I < Count; I++) {
    if (X[I] != Y[I]) {
      return false;
    }
  }
  return true;
}

VOID TakeString(EFI_SMBIOS_TABLE_HEADER *Record, UINTN Offset, MACHINE_STRING *String) {
  UINTN Length = 0;
  const CHAR8 *Text = SmbiosAsciiString(SmbiosStringArea(Record), SmbiosStringNumber(Record, Offset), &Length);
  Length = Text == NULL ? 0 : (Length < MACHINE_SERIAL_MAX ? Length : MACHINE_SERIAL_MAX);
  if (Length != 0) {
    CopyMem(String->Text, Text, Length);
  }
  String->Text[Length] = 0;
  String->Length = (UINT8)Length;
}

VOID TakeSystemInformation(EFI_SMBIOS_TABLE_HEADER *Record, MACHINE_FACTS *Facts) {
  MACHINE_IDENTITY *Identity = &Facts->Identity;
  if (Record->Length >= SMBIOS_UUID_OFFSET + SMBIOS_UUID_SIZE) {
    const UINT8 *Uuid = (const UINT8 *)Record + SMBIOS_UUID_OFFSET;
    CopyMem(Identity->Uuid, Uuid, SMBIOS_UUID_SIZE);
    Identity->HasUuid = !AllBytes(Uuid, SMBIOS_UUID_SIZE, 0x00) && !AllBytes(Uuid, SMBIOS_UUID_SIZE, 0xFF);
  }
  MACHINE_STRING Serial;
  TakeString(Record, SMBIOS_SERIAL_NUMBER_OFFSET, &Serial);
  CopyMem(Identity->Serial, Serial.Text, Serial.Length + 1);
  Identity->SerialLength = Serial.Length;
  TakeString(Record, SMBIOS_PRODUCT_NAME_OFFSET, &Facts->Product);
}

}  // namespace

EFI_STATUS ReadMachineFacts(MACHINE_FACTS *Facts) {
  ZeroMem(Facts, sizeof(*Facts));
  EFI_SMBIOS_PROTOCOL *Smbios = NULL;
  if (EFI_ERROR(LocateSmbiosProtocol(&Smbios))) {
    return EFI_NOT_FOUND;
  }
  Facts->HasSmbios = TRUE;
  bool System = false;
  bool Decided = false;
  PLATFORM_CHECK Platform = {FALSE, FALSE, FALSE};
  EFI_SMBIOS_HANDLE SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TABLE_HEADER *Record = NULL;
  while ((!System || !Facts->HasBios || !Decided) &&
         SmbiosNextRecord(Smbios, &SmbiosHandle, &Record) == EFI_SUCCESS) {
    if (Record->Type == SMBIOS_TYPE_SYSTEM_INFORMATION && !System) {
      TakeSystemInformation(Record, Facts);
      System = true;
    } else if (Record->Type == SMBIOS_TYPE_BIOS_INFORMATION && !Facts->HasBios) {
      TakeString(Record, SMBIOS_BIOS_VERSION_OFFSET, &Facts->Bios);
      Facts->HasBios = TRUE;
    }
    Decided = Decided || PlatformStep(&Platform, Record);
  }
  Facts->SupportedPlatform = PlatformSupported(&Platform);
  return EFI_SUCCESS;
}

VOID PrintableText(const CHAR8 *Text, UINTN Length, CHAR16 *Out) {
  for (UINTN I = 0; I < Length; I++) {
    Out[I] = (Text[I] >= 0x20 && Text[I] < 0x7F) ? (CHAR16)Text[I] : u'?';
  }
  Out[Length] = 0;
}

BOOLEAN SameMachine(const MACHINE_IDENTITY *Recorded, const MACHINE_IDENTITY *Now) {
  if (Recorded->HasUuid && (!Now->HasUuid || !SameBytes(Recorded->Uuid, Now->Uuid, SMBIOS_UUID_SIZE))) {
    return FALSE;
  }
  if (Recorded->SerialLength != 0 && (Recorded->SerialLength != Now->SerialLength ||
                                      !SameBytes(Recorded->Serial, Now->Serial, Recorded->SerialLength))) {
    return FALSE;
  }
  return TRUE;
}

VOID FormatMachineUuid(const UINT8 Uuid[SMBIOS_UUID_SIZE], CHAR16 Out[37]) {
  // Byte order of the text: time_low, time_mid and time_hi are stored
  // little-endian, the rest as they stand.
  static constexpr UINT8 ORDER[SMBIOS_UUID_SIZE] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  static constexpr CHAR16 DIGITS[] = u"0123456789abcdef";
  UINTN At = 0;
  for (UINTN I = 0; I < SMBIOS_UUID_SIZE; I++) {
    if (I == 4 || I == 6 || I == 8 || I == 10) {
      Out[At++] = u'-';
    }
    Out[At++] = DIGITS[Uuid[ORDER[I]] >> 4];
    Out[At++] = DIGITS[Uuid[ORDER[I]] & 0xF];
  }
  Out[At] = 0;
}

EFI_STATUS CheckRecordedMachine(const MACHINE_IDENTITY *Recorded, const MACHINE_IDENTITY *Now) {
  // A machine that reports no SMBIOS now cannot be the one whose UUID or
  // serial number was recorded; a record without either compares nothing.
  if (SameMachine(Recorded, Now)) {
    return EFI_SUCCESS;
  }
  if (Recorded->SerialLength != 0) {
    CHAR16 Serial[MACHINE_SERIAL_MAX + 1];
    PrintableText(Recorded->Serial, Recorded->SerialLength, Serial);
    Print(u"State.dat holds an update begun on another machine (serial %s): finish it there, or delete State.dat to "
          u"begin on this one\n",
          Serial);
  } else {
    CHAR16 Uuid[37];
    FormatMachineUuid(Recorded->Uuid, Uuid);
    Print(u"State.dat holds an update begun on another machine (UUID %s): finish it there, or delete State.dat to "
          u"begin on this one\n",
          Uuid);
  }
  return EFI_ABORTED;
}
