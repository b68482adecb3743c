#include "simfw/Within.h"

#include <utility>

#include "kit/Library.h"

namespace sim {
namespace {

std::function<EFI_STATUS()> &CurrentBody() {
  static std::function<EFI_STATUS()> Body;
  return Body;
}

EFI_STATUS EFIAPI RunBody(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  gRT = SystemTable->RuntimeServices;
  return CurrentBody()();
}

}  // namespace

EFI_STATUS LaunchWithin(Firmware &Fw, std::function<EFI_STATUS()> Body) {
  CurrentBody() = std::move(Body);
  const EFI_STATUS Status = Fw.Launch(&RunBody);
  CurrentBody() = nullptr;
  return Status;
}

}  // namespace sim
