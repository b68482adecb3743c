// Runtime services: the variable store and ResetSystem.
#include <cstring>

#include "Internal.h"

namespace sim {

const EFI_GUID kMemoryOverwriteRequestControlGuid = {
    0xE20939BE, 0x32D4, 0x41BE, {0xA1, 0x50, 0x89, 0x7F, 0x85, 0xD4, 0x98, 0x29}};
const char16_t kMemoryOverwriteRequestControlName[] = u"MemoryOverwriteRequestControl";

namespace {

// Longest variable name, in characters, the store accepts.
constexpr size_t kNameLimit = 1024;
constexpr UINT32 kKnownAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

EFI_STATUS GetVariableCall(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
                           VOID *Data) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::GetVariable)) {
    return *Fault;
  }
  if (VariableName == nullptr || VendorGuid == nullptr || DataSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  // Stricter than firmware needs to be: a null buffer with a nonzero size is
  // a caller fault even when the size would be too small anyway.
  if (Data == nullptr && *DataSize != 0) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Length = BoundedLength(VariableName, kNameLimit);
  if (!Length) {
    return EFI_INVALID_PARAMETER;
  }
  const auto It = M.Variables.find({std::u16string(VariableName, *Length), *VendorGuid});
  if (It == M.Variables.end()) {
    return EFI_NOT_FOUND;
  }
  const Variable &V = It->second;
  if (*DataSize < V.Data.size()) {
    *DataSize = V.Data.size();
    if (Attributes != nullptr) {
      *Attributes = V.Attributes;  // given with the size, as EDK II does
    }
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(Data, V.Data.data(), V.Data.size());
  *DataSize = V.Data.size();
  if (Attributes != nullptr) {
    *Attributes = V.Attributes;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetVariableService(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
                                     VOID *Data) {
  const UINTN Asked = DataSize != nullptr ? *DataSize : 0;
  const EFI_STATUS Status = GetVariableCall(VariableName, VendorGuid, Attributes, DataSize, Data);
  if (EFI_ERROR(Status)) {
    PoisonBytes(Data, Asked);
    if (Status != EFI_BUFFER_TOO_SMALL) {
      PoisonValue(DataSize, static_cast<UINTN>(kPoisonSize));
      PoisonValue(Attributes, static_cast<UINT32>(kPoisonSize));
    }
  }
  return Status;
}

EFI_STATUS EFIAPI SetVariableService(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize,
                                     VOID *Data) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::SetVariable)) {
    return *Fault;
  }
  if (VariableName == nullptr || VendorGuid == nullptr || (Data == nullptr && DataSize != 0)) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Length = BoundedLength(VariableName, kNameLimit);
  if (!Length || *Length == 0) {
    return EFI_INVALID_PARAMETER;
  }
  const VariableKey Key{std::u16string(VariableName, *Length), *VendorGuid};
  const auto It = M.Variables.find(Key);
  Event E;
  E.What = Event::Kind::SetVariable;
  E.Text = ToUtf8(Key.first);

  if (DataSize == 0 || (Attributes & kKnownAttributes) == 0) {
    // Deletion.
    if (It == M.Variables.end()) {
      return EFI_NOT_FOUND;
    }
    M.Variables.erase(It);
    M.Record(std::move(E));
    return EFI_SUCCESS;
  }
  if ((Attributes & ~kKnownAttributes) != 0) {
    return EFI_INVALID_PARAMETER;  // authenticated and other kinds are not simulated
  }
  if ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) && !(Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS)) {
    return EFI_INVALID_PARAMETER;
  }
  if (It != M.Variables.end() && It->second.Attributes != Attributes) {
    return EFI_INVALID_PARAMETER;  // a variable keeps the attributes it was created with
  }
  const auto *Bytes = static_cast<const uint8_t *>(Data);
  M.Variables[Key] = {Attributes, std::vector<uint8_t>(Bytes, Bytes + DataSize)};
  E.Bytes.assign(Bytes, Bytes + DataSize);
  M.Record(std::move(E));
  return EFI_SUCCESS;
}

// Returns to the caller: the test sees what the application does after it.
// Nothing is flushed; what was not committed is lost at Reboot().
VOID EFIAPI ResetSystemService(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID *ResetData) {
  auto &M = Machine();
  if (M.Gate(Service::ResetSystem)) {
    return;
  }
  if (!M.Recording()) {
    return;
  }
  M.ResetRequested = true;
  M.LastReset = ResetType;
  Event E;
  E.What = Event::Kind::Reset;
  E.Value = static_cast<uint8_t>(ResetType);
  M.Record(std::move(E));
}

// The firmware clock. A failed read leaves *Time as it was, or poisoned.
EFI_STATUS GetTimeCall(EFI_TIME *Time, VOID *Capabilities) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::GetTime)) {
    return *Fault;
  }
  if (Time == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Capabilities != nullptr) {
    M.Misuse("GetTime: capabilities asked for, which the simulated clock does not describe");
  }
  *Time = M.Owner.Clock;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetTimeService(EFI_TIME *Time, VOID *Capabilities) {
  const EFI_STATUS Status = GetTimeCall(Time, Capabilities);
  if (EFI_ERROR(Status)) {
    PoisonBytes(Time, sizeof(EFI_TIME));
  }
  return Status;
}

}  // namespace

void InstallRuntimeServices(Firmware::Impl &M) {
  EFI_RUNTIME_SERVICES &R = M.RuntimeServices;
  R.Hdr.Signature = 0x56524553544E5552ULL;  // "RUNTSERV"
  R.Hdr.Revision = (2 << 16) | 70;
  R.Hdr.HeaderSize = sizeof(EFI_RUNTIME_SERVICES);
  R.GetTime = GetTimeService;
  R.SetTime = Stub<"RuntimeServices->SetTime">();
  R.GetWakeupTime = Stub<"RuntimeServices->GetWakeupTime">();
  R.SetWakeupTime = Stub<"RuntimeServices->SetWakeupTime">();
  R.SetVirtualAddressMap = Stub<"RuntimeServices->SetVirtualAddressMap">();
  R.ConvertPointer = Stub<"RuntimeServices->ConvertPointer">();
  R.GetVariable = GetVariableService;
  R.GetNextVariableName = Stub<"RuntimeServices->GetNextVariableName">();
  R.SetVariable = SetVariableService;
  R.GetNextHighMonotonicCount = Stub<"RuntimeServices->GetNextHighMonotonicCount">();
  R.ResetSystem = ResetSystemService;
  R.UpdateCapsule = Stub<"RuntimeServices->UpdateCapsule">();
  R.QueryCapsuleCapabilities = Stub<"RuntimeServices->QueryCapsuleCapabilities">();
  R.QueryVariableInfo = Stub<"RuntimeServices->QueryVariableInfo">();
}

void Firmware::PutVariable(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes,
                           const std::vector<uint8_t> &Data) {
  Impl_->Variables[{Name, Guid}] = {Attributes, Data};
}

void Firmware::RemoveVariable(const std::u16string &Name, const EFI_GUID &Guid) {
  Impl_->Variables.erase({Name, Guid});
}

std::optional<Variable> Firmware::GetVariableValue(const std::u16string &Name, const EFI_GUID &Guid) const {
  const auto It = Impl_->Variables.find({Name, Guid});
  if (It == Impl_->Variables.end()) {
    return std::nullopt;
  }
  return It->second;
}

}  // namespace sim
