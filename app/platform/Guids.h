// GUIDs of the published protocols and the variable the application opens.
#pragma once

#include "kit/Uefi.h"

extern const EFI_GUID gEfiShellParametersProtocolGuid;
extern const EFI_GUID gEfiShellProtocolGuid;
extern const EFI_GUID gEfiSmbiosProtocolGuid;
extern const EFI_GUID gEfiLoadedImageProtocolGuid;
extern const EFI_GUID gEfiSimpleFileSystemProtocolGuid;
extern const EFI_GUID gEfiFileInfoGuid;
extern const EFI_GUID gMemoryOverwriteControlDataGuid;
