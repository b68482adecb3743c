// UEFI base types, status codes, tables and the protocols Tamsork uses.
//
// Written from the UEFI 2.x, PI (SMBIOS protocol) and UEFI Shell
// specifications. The simulated firmware shares these definitions, so the
// offset asserts below are what keeps a layout slip from hiding in both
// builds at once: every member the application or the kit touches has one,
// with the x64 value the specifications give.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if !defined(__x86_64__)
#error "Tamsork targets x86-64 only"
#endif

// The UEFI calling convention. Kept in the host build too, so the
// application reaches the simulated firmware through the same tables.
#define EFIAPI __attribute__((ms_abi))

#define IN
#define OUT
#define OPTIONAL
#define CONST const

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef uint8_t BOOLEAN;
typedef void VOID;

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#ifndef NULL
#define NULL nullptr
#endif

static_assert(sizeof(UINTN) == 8, "UINTN is 64 bits on x64");
static_assert(sizeof(CHAR16) == 2, "CHAR16 is UCS-2");
static_assert(sizeof(BOOLEAN) == 1, "BOOLEAN is 8 bits");

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINT64 EFI_PHYSICAL_ADDRESS;

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;
static_assert(sizeof(EFI_GUID) == 16);

inline bool KitGuidEqual(const EFI_GUID &A, const EFI_GUID &B) {
  if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3) {
    return false;
  }
  for (int I = 0; I < 8; I++) {
    if (A.Data4[I] != B.Data4[I]) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- status

#define MAX_BIT 0x8000000000000000ULL
#define ENCODE_ERROR(Code) ((EFI_STATUS)(MAX_BIT | (Code)))
#define ENCODE_WARNING(Code) ((EFI_STATUS)(Code))
#define EFI_ERROR(Status) (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_BAD_BUFFER_SIZE ENCODE_ERROR(4)
#define EFI_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define EFI_NOT_READY ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_VOLUME_CORRUPTED ENCODE_ERROR(10)
#define EFI_VOLUME_FULL ENCODE_ERROR(11)
#define EFI_NO_MEDIA ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED ENCODE_ERROR(13)
#define EFI_NOT_FOUND ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED ENCODE_ERROR(15)
#define EFI_ABORTED ENCODE_ERROR(21)
#define EFI_INCOMPATIBLE_VERSION ENCODE_ERROR(25)
#define EFI_SECURITY_VIOLATION ENCODE_ERROR(26)
#define EFI_CRC_ERROR ENCODE_ERROR(27)
#define EFI_WARN_DELETE_FAILURE ENCODE_WARNING(2)

static_assert(EFI_NOT_FOUND == 0x800000000000000EULL);
static_assert(EFI_OUT_OF_RESOURCES == 0x8000000000000009ULL);
static_assert(EFI_UNSUPPORTED == 0x8000000000000003ULL);

// ---------------------------------------------------------------- tables

typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;
static_assert(sizeof(EFI_TABLE_HEADER) == 24);

// Console input.
typedef struct {
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
} EFI_INPUT_KEY;
static_assert(offsetof(EFI_INPUT_KEY, ScanCode) == 0);
static_assert(offsetof(EFI_INPUT_KEY, UnicodeChar) == 2);

#define CHAR_CARRIAGE_RETURN 0x000D
#define SCAN_UP 0x0001
#define SCAN_F1 0x000B
#define SCAN_ESC 0x0017

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_INPUT_RESET)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, BOOLEAN ExtendedVerification);
typedef EFI_STATUS(EFIAPI *EFI_INPUT_READ_KEY)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key);
struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
  EFI_INPUT_RESET Reset;
  EFI_INPUT_READ_KEY ReadKeyStroke;
  EFI_EVENT WaitForKey;
};
static_assert(offsetof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, ReadKeyStroke) == 8);
static_assert(offsetof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, WaitForKey) == 16);

// Console output. Only OutputString is used; the rest are kept for layout.
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_TEXT_STRING)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String);
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  VOID *Reset;
  EFI_TEXT_STRING OutputString;
  VOID *TestString;
  VOID *QueryMode;
  VOID *SetMode;
  VOID *SetAttribute;
  VOID *ClearScreen;
  VOID *SetCursorPosition;
  VOID *EnableCursor;
  VOID *Mode;
};
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == 8);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Mode) == 72);

// Memory types and allocation.
typedef enum {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiMaxMemoryType
} EFI_MEMORY_TYPE;
static_assert(EfiBootServicesData == 4);
static_assert(sizeof(EFI_MEMORY_TYPE) == 4);

typedef enum { AllHandles, ByRegisterNotify, ByProtocol } EFI_LOCATE_SEARCH_TYPE;
static_assert(ByProtocol == 2);
static_assert(sizeof(EFI_LOCATE_SEARCH_TYPE) == 4);

#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002

typedef enum { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific } EFI_RESET_TYPE;
static_assert(EfiResetCold == 0);
static_assert(sizeof(EFI_RESET_TYPE) == 4);

struct EFI_DEVICE_PATH_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_WAIT_FOR_EVENT)(UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_DEVICE_PATH)(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                   EFI_HANDLE *Device);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface,
                                              EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle, UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                                     VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer);
// The CRC-32 of DataSize bytes at Data (the polynomial of IEEE 802.3).
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                                           UINT32 InterfaceType, VOID *Interface);

typedef struct {
  EFI_TABLE_HEADER Hdr;
  VOID *RaiseTPL;
  VOID *RestoreTPL;
  VOID *AllocatePages;
  VOID *FreePages;
  VOID *GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  VOID *CreateEvent;
  VOID *SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  VOID *SignalEvent;
  VOID *CloseEvent;
  VOID *CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  VOID *ReinstallProtocolInterface;
  VOID *UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  VOID *RegisterProtocolNotify;
  VOID *LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  VOID *InstallConfigurationTable;
  VOID *LoadImage;
  VOID *StartImage;
  VOID *Exit;
  VOID *UnloadImage;
  VOID *ExitBootServices;
  VOID *GetNextMonotonicCount;
  VOID *Stall;
  VOID *SetWatchdogTimer;
  VOID *ConnectController;
  VOID *DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  VOID *CloseProtocol;
  VOID *OpenProtocolInformation;
  VOID *ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  VOID *LocateProtocol;
  VOID *InstallMultipleProtocolInterfaces;
  VOID *UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  VOID *CopyMem;
  VOID *SetMem;
  VOID *CreateEventEx;
} EFI_BOOT_SERVICES;
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64);
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 72);
static_assert(offsetof(EFI_BOOT_SERVICES, WaitForEvent) == 96);
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128);
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateDevicePath) == 184);
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280);
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 312);
static_assert(offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == 344);
static_assert(sizeof(EFI_BOOT_SERVICES) == 376);

#define EFI_NATIVE_INTERFACE 0

#define EFI_VARIABLE_NON_VOLATILE 0x00000001
#define EFI_VARIABLE_BOOTSERVICE_ACCESS 0x00000002
#define EFI_VARIABLE_RUNTIME_ACCESS 0x00000004

typedef EFI_STATUS(EFIAPI *EFI_GET_VARIABLE)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes,
                                             UINTN *DataSize, VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_SET_VARIABLE)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes,
                                             UINTN DataSize, VOID *Data);
typedef VOID(EFIAPI *EFI_RESET_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                       VOID *ResetData);

// The firmware clock's time.
typedef struct {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;  // minutes from UTC, or EFI_UNSPECIFIED_TIMEZONE
  UINT8 Daylight;
  UINT8 Pad2;
} EFI_TIME;
static_assert(sizeof(EFI_TIME) == 16);
static_assert(offsetof(EFI_TIME, TimeZone) == 12);
#define EFI_UNSPECIFIED_TIMEZONE 0x07FF

// The time and, optionally, the clock's capabilities (not read here).
typedef EFI_STATUS(EFIAPI *EFI_GET_TIME)(EFI_TIME *Time, VOID *Capabilities);

typedef struct {
  EFI_TABLE_HEADER Hdr;
  EFI_GET_TIME GetTime;
  VOID *SetTime;
  VOID *GetWakeupTime;
  VOID *SetWakeupTime;
  VOID *SetVirtualAddressMap;
  VOID *ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  VOID *GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  VOID *GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  VOID *UpdateCapsule;
  VOID *QueryCapsuleCapabilities;
  VOID *QueryVariableInfo;
} EFI_RUNTIME_SERVICES;
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetTime) == 24);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72);
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 88);
static_assert(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 104);
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136);

typedef struct {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  VOID *ConfigurationTable;
} EFI_SYSTEM_TABLE;
static_assert(offsetof(EFI_SYSTEM_TABLE, ConIn) == 48);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 64);
static_assert(offsetof(EFI_SYSTEM_TABLE, StdErr) == 80);
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88);
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96);
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);

// ---------------------------------------------------------------- device paths

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4);
static_assert(offsetof(EFI_DEVICE_PATH_PROTOCOL, SubType) == 1);
static_assert(offsetof(EFI_DEVICE_PATH_PROTOCOL, Length) == 2);

#define HARDWARE_DEVICE_PATH 0x01
#define HW_VENDOR_DP 0x04
#define MEDIA_DEVICE_PATH 0x04
#define MEDIA_FILEPATH_DP 0x04
#define END_DEVICE_PATH_TYPE 0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF
#define END_DEVICE_PATH_LENGTH 4

// A file-path node: the header followed by a NUL-terminated UCS-2 name.
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL Header;
  CHAR16 PathName[1];
} FILEPATH_DEVICE_PATH;
static_assert(offsetof(FILEPATH_DEVICE_PATH, PathName) == 4);
#define SIZE_OF_FILEPATH_DEVICE_PATH offsetof(FILEPATH_DEVICE_PATH, PathName)

inline UINTN DevicePathNodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
}
inline bool IsDevicePathEnd(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return Node->Type == END_DEVICE_PATH_TYPE && Node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}
inline EFI_DEVICE_PATH_PROTOCOL *NextDevicePathNode(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (EFI_DEVICE_PATH_PROTOCOL *)((const UINT8 *)Node + DevicePathNodeLength(Node));
}

// ---------------------------------------------------------------- loaded image

typedef struct {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  VOID *Unload;
} EFI_LOADED_IMAGE_PROTOCOL;
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24);
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, FilePath) == 32);
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 96);

// ---------------------------------------------------------------- files

#define EFI_FILE_MODE_READ 0x0000000000000001ULL
#define EFI_FILE_MODE_WRITE 0x0000000000000002ULL
#define EFI_FILE_MODE_CREATE 0x8000000000000000ULL

#define EFI_FILE_READ_ONLY 0x0000000000000001ULL
#define EFI_FILE_HIDDEN 0x0000000000000002ULL
#define EFI_FILE_SYSTEM 0x0000000000000004ULL
#define EFI_FILE_DIRECTORY 0x0000000000000010ULL
#define EFI_FILE_ARCHIVE 0x0000000000000020ULL

struct EFI_FILE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_FILE_OPEN)(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName,
                                          UINT64 OpenMode, UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_FILE_CLOSE)(EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_DELETE)(EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_READ)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_WRITE)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_GET_POSITION)(EFI_FILE_PROTOCOL *This, UINT64 *Position);
typedef EFI_STATUS(EFIAPI *EFI_FILE_SET_POSITION)(EFI_FILE_PROTOCOL *This, UINT64 Position);
typedef EFI_STATUS(EFIAPI *EFI_FILE_GET_INFO)(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType, UINTN *BufferSize,
                                              VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_SET_INFO)(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType, UINTN BufferSize,
                                              VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_FLUSH)(EFI_FILE_PROTOCOL *This);

struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  EFI_FILE_DELETE Delete;
  EFI_FILE_READ Read;
  EFI_FILE_WRITE Write;
  EFI_FILE_GET_POSITION GetPosition;
  EFI_FILE_SET_POSITION SetPosition;
  EFI_FILE_GET_INFO GetInfo;
  EFI_FILE_SET_INFO SetInfo;
  EFI_FILE_FLUSH Flush;
};
static_assert(offsetof(EFI_FILE_PROTOCOL, Open) == 8);
static_assert(offsetof(EFI_FILE_PROTOCOL, Close) == 16);
static_assert(offsetof(EFI_FILE_PROTOCOL, Delete) == 24);
static_assert(offsetof(EFI_FILE_PROTOCOL, Read) == 32);
static_assert(offsetof(EFI_FILE_PROTOCOL, Write) == 40);
static_assert(offsetof(EFI_FILE_PROTOCOL, SetPosition) == 56);
static_assert(offsetof(EFI_FILE_PROTOCOL, GetInfo) == 64);
static_assert(offsetof(EFI_FILE_PROTOCOL, Flush) == 80);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This,
                                                                       EFI_FILE_PROTOCOL **Root);
struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME OpenVolume;
};
static_assert(offsetof(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL, OpenVolume) == 8);

typedef struct {
  UINT64 Size;
  UINT64 FileSize;
  UINT64 PhysicalSize;
  EFI_TIME CreateTime;
  EFI_TIME LastAccessTime;
  EFI_TIME ModificationTime;
  UINT64 Attribute;
  CHAR16 FileName[1];
} EFI_FILE_INFO;
static_assert(offsetof(EFI_FILE_INFO, Size) == 0);
static_assert(offsetof(EFI_FILE_INFO, FileSize) == 8);
static_assert(offsetof(EFI_FILE_INFO, Attribute) == 72);
static_assert(offsetof(EFI_FILE_INFO, FileName) == 80);
#define SIZE_OF_EFI_FILE_INFO offsetof(EFI_FILE_INFO, FileName)

// ---------------------------------------------------------------- Shell

typedef struct {
  CHAR16 **Argv;
  UINTN Argc;
  VOID *StdIn;
  VOID *StdOut;
  VOID *StdErr;
} EFI_SHELL_PARAMETERS_PROTOCOL;
static_assert(offsetof(EFI_SHELL_PARAMETERS_PROTOCOL, Argv) == 0);
static_assert(offsetof(EFI_SHELL_PARAMETERS_PROTOCOL, Argc) == 8);

typedef EFI_STATUS(EFIAPI *EFI_SHELL_EXECUTE)(EFI_HANDLE *ParentImageHandle, CHAR16 *CommandLine,
                                              CHAR16 **Environment, EFI_STATUS *StatusCode);
// The value of a Shell variable; owned by the Shell; NULL when unset.
typedef const CHAR16 *(EFIAPI *EFI_SHELL_GET_ENV)(const CHAR16 *Name);
// The Shell's mapping names for a device path ("FS0:", several separated by
// ';'); NULL when none matches. *DevicePath is advanced past what matched.
// EDK II's comment calls the string the caller's to free, but its Shell
// keeps it on a free list of its own: OVMF's Shell crashes when a caller
// frees it too (seen on the virtual board). It stays the Shell's.
typedef const CHAR16 *(EFIAPI *EFI_SHELL_GET_MAP_FROM_DEVICE_PATH)(EFI_DEVICE_PATH_PROTOCOL **DevicePath);
// The current directory of a mapping, or of the current one for NULL, as
// "FS0:\dir"; owned by the Shell; NULL when there is none.
typedef const CHAR16 *(EFIAPI *EFI_SHELL_GET_CUR_DIR)(const CHAR16 *FileSystemMapping);
typedef EFI_STATUS(EFIAPI *EFI_SHELL_SET_CUR_DIR)(const CHAR16 *FileSystem, const CHAR16 *Dir);
// A file the Shell opened for the caller; only the Shell's file functions
// take it.
typedef VOID *SHELL_FILE_HANDLE;
// The information of an open file, in a new pool buffer the caller frees;
// NULL on failure.
typedef EFI_FILE_INFO *(EFIAPI *EFI_SHELL_GET_FILE_INFO)(SHELL_FILE_HANDLE FileHandle);
// Opens a file by the name a Shell user would type: a mapping ("FS0:\x"),
// a path from the current volume's root ("\x") or one from the current
// directory ("x").
typedef EFI_STATUS(EFIAPI *EFI_SHELL_OPEN_FILE_BY_NAME)(const CHAR16 *FileName, SHELL_FILE_HANDLE *FileHandle,
                                                        UINT64 OpenMode);
typedef EFI_STATUS(EFIAPI *EFI_SHELL_CLOSE_FILE)(SHELL_FILE_HANDLE FileHandle);
// Execute, GetEnv, GetMapFromDevicePath, GetCurDir, OpenFileByName,
// GetFileInfo and CloseFile are called. The members are listed up to
// CloseFile; an instance from the firmware is larger.
typedef struct {
  EFI_SHELL_EXECUTE Execute;
  EFI_SHELL_GET_ENV GetEnv;
  VOID *SetEnv;
  VOID *GetAlias;
  VOID *SetAlias;
  VOID *GetHelpText;
  VOID *GetDevicePathFromMap;
  EFI_SHELL_GET_MAP_FROM_DEVICE_PATH GetMapFromDevicePath;
  VOID *GetDevicePathFromFilePath;
  VOID *GetFilePathFromDevicePath;
  VOID *SetMap;
  EFI_SHELL_GET_CUR_DIR GetCurDir;
  EFI_SHELL_SET_CUR_DIR SetCurDir;
  VOID *OpenFileList;
  VOID *FreeFileList;
  VOID *RemoveDupInFileList;
  VOID *BatchIsActive;
  VOID *IsRootShell;
  VOID *EnablePageBreak;
  VOID *DisablePageBreak;
  VOID *GetPageBreak;
  VOID *GetDeviceName;
  EFI_SHELL_GET_FILE_INFO GetFileInfo;
  VOID *SetFileInfo;
  EFI_SHELL_OPEN_FILE_BY_NAME OpenFileByName;
  EFI_SHELL_CLOSE_FILE CloseFile;
} EFI_SHELL_PROTOCOL;
static_assert(offsetof(EFI_SHELL_PROTOCOL, Execute) == 0);
static_assert(offsetof(EFI_SHELL_PROTOCOL, GetEnv) == 8);
static_assert(offsetof(EFI_SHELL_PROTOCOL, GetMapFromDevicePath) == 56);
static_assert(offsetof(EFI_SHELL_PROTOCOL, GetCurDir) == 88);
static_assert(offsetof(EFI_SHELL_PROTOCOL, SetCurDir) == 96);
static_assert(offsetof(EFI_SHELL_PROTOCOL, GetFileInfo) == 176);
static_assert(offsetof(EFI_SHELL_PROTOCOL, OpenFileByName) == 192);
static_assert(offsetof(EFI_SHELL_PROTOCOL, CloseFile) == 200);

// ---------------------------------------------------------------- SMBIOS (PI)

typedef UINT16 EFI_SMBIOS_HANDLE;
typedef UINT8 EFI_SMBIOS_TYPE;
#define SMBIOS_HANDLE_PI_RESERVED 0xFFFE

typedef struct {
  UINT8 Type;
  UINT8 Length;
  UINT16 Handle;
} EFI_SMBIOS_TABLE_HEADER;
static_assert(offsetof(EFI_SMBIOS_TABLE_HEADER, Type) == 0);
static_assert(offsetof(EFI_SMBIOS_TABLE_HEADER, Length) == 1);
static_assert(offsetof(EFI_SMBIOS_TABLE_HEADER, Handle) == 2);
static_assert(sizeof(EFI_SMBIOS_TABLE_HEADER) == 4);

struct EFI_SMBIOS_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_GET_NEXT)(const EFI_SMBIOS_PROTOCOL *This, EFI_SMBIOS_HANDLE *SmbiosHandle,
                                                EFI_SMBIOS_TYPE *Type, EFI_SMBIOS_TABLE_HEADER **Record,
                                                EFI_HANDLE *ProducerHandle);
struct EFI_SMBIOS_PROTOCOL {
  VOID *Add;
  VOID *UpdateString;
  VOID *Remove;
  EFI_SMBIOS_GET_NEXT GetNext;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
};
static_assert(offsetof(EFI_SMBIOS_PROTOCOL, GetNext) == 24);
static_assert(offsetof(EFI_SMBIOS_PROTOCOL, MajorVersion) == 32);
