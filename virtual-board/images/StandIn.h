// What the two stand-in images share: the board's record ports, a recorder
// that writes one text line to such a port (and, for the transcript, to the
// console), and the Shell protocol members the flash tool stand-in calls.
//
// These images take the place of components that live outside Tamsork on a
// real machine: the board firmware's control protocol and the flash tool.
#pragma once

#include "kit/Library.h"

// isa-debugcon ports the harness gives the virtual board; every byte written
// to them lands in a file the harness reads after the boot.
constexpr UINT16 VENDOR_RECORD_PORT = 0x41D0;
constexpr UINT16 TOOL_RECORD_PORT = 0x41D8;

// Longest record line, in characters.
constexpr UINTN RECORD_LINE_LENGTH = 400;

// Writes Line to Port as ASCII (other characters become '?') followed by a
// line feed.
VOID RecordText(UINT16 Port, const CHAR16 *Line);

// Formats one record line and writes it to Port.
template <typename... T> VOID Record(UINT16 Port, const CHAR16 *Format, T... Args) {
  CHAR16 Line[RECORD_LINE_LENGTH + 1];
  const KIT_PRINT_ARG List[sizeof...(T) + 1] = {KitPrintArg(Args)..., {KitArgKind::Unsigned, 0, nullptr}};
  KitFormatUnicode(Line, sizeof(Line), Format, List, sizeof...(T));
  RecordText(Port, Line);
}

// A copy of a UCS-2 text of at most Count characters (stopping at a NUL),
// terminated, in a new pool buffer; NULL when the pool is exhausted.
CHAR16 *CopyText(const CHAR16 *Text, UINTN Count);

// ---------------------------------------------------------------- Shell

typedef VOID *SHELL_FILE_HANDLE;

typedef const CHAR16 *(EFIAPI *BOARD_SHELL_GET_CUR_DIR)(const CHAR16 *FileSystemMapping);
typedef EFI_STATUS(EFIAPI *BOARD_SHELL_OPEN_FILE_BY_NAME)(const CHAR16 *FileName, SHELL_FILE_HANDLE *FileHandle,
                                                          UINT64 OpenMode);
typedef EFI_STATUS(EFIAPI *BOARD_SHELL_CLOSE_FILE)(SHELL_FILE_HANDLE FileHandle);
typedef EFI_STATUS(EFIAPI *BOARD_SHELL_READ_FILE)(SHELL_FILE_HANDLE FileHandle, UINTN *ReadSize, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *BOARD_SHELL_GET_FILE_SIZE)(SHELL_FILE_HANDLE FileHandle, UINT64 *Size);

// EFI_SHELL_PROTOCOL as far as GetFileSize; the members in between are
// kept as placeholders for the layout.
typedef struct {
  VOID *Execute;
  VOID *GetEnv;
  VOID *SetEnv;
  VOID *GetAlias;
  VOID *SetAlias;
  VOID *GetHelpText;
  VOID *GetDevicePathFromMap;
  VOID *GetMapFromDevicePath;
  VOID *GetDevicePathFromFilePath;
  VOID *GetFilePathFromDevicePath;
  VOID *SetMap;
  BOARD_SHELL_GET_CUR_DIR GetCurDir;
  VOID *SetCurDir;
  VOID *OpenFileList;
  VOID *FreeFileList;
  VOID *RemoveDupInFileList;
  VOID *BatchIsActive;
  VOID *IsRootShell;
  VOID *EnablePageBreak;
  VOID *DisablePageBreak;
  VOID *GetPageBreak;
  VOID *GetDeviceName;
  VOID *GetFileInfo;
  VOID *SetFileInfo;
  BOARD_SHELL_OPEN_FILE_BY_NAME OpenFileByName;
  BOARD_SHELL_CLOSE_FILE CloseFile;
  VOID *CreateFile;
  BOARD_SHELL_READ_FILE ReadFile;
  VOID *WriteFile;
  VOID *DeleteFile;
  VOID *DeleteFileByName;
  VOID *GetFilePosition;
  VOID *SetFilePosition;
  VOID *FlushFile;
  VOID *FindFiles;
  VOID *FindFilesInDir;
  BOARD_SHELL_GET_FILE_SIZE GetFileSize;
} BOARD_SHELL_PROTOCOL;
static_assert(offsetof(BOARD_SHELL_PROTOCOL, GetCurDir) == 88);
static_assert(offsetof(BOARD_SHELL_PROTOCOL, OpenFileByName) == 192);
static_assert(offsetof(BOARD_SHELL_PROTOCOL, CloseFile) == 200);
static_assert(offsetof(BOARD_SHELL_PROTOCOL, ReadFile) == 216);
static_assert(offsetof(BOARD_SHELL_PROTOCOL, GetFileSize) == 288);

extern const EFI_GUID gBoardShellProtocolGuid;
extern const EFI_GUID gBoardShellParametersProtocolGuid;
extern const EFI_GUID gBoardLoadedImageProtocolGuid;
