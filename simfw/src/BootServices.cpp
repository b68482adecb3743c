// Boot services: pool memory, the key event, and the handle database
// (HandleProtocol, OpenProtocol, LocateHandleBuffer, LocateDevicePath,
// InstallProtocolInterface).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Internal.h"

namespace sim {

namespace {

// Larger requests fail as exhaustion: a size this big from the application
// is almost always an underflowed computation.
constexpr size_t kPoolLimit = size_t{256} << 20;
// New blocks are filled with this, so code that relies on zeroed memory
// shows its fault.
constexpr uint8_t kPoolGarbage = 0xAF;
// Longest device path the simulator walks before calling it malformed.
constexpr size_t kDevicePathLimit = 64 * 1024;

bool ValidPoolType(EFI_MEMORY_TYPE Type) {
  const auto T = static_cast<uint32_t>(Type);
  if (T >= 0x70000000U) {
    return true;  // OEM and OS loader ranges
  }
  // Below the end of the UEFI memory types (15);
  // conventional and persistent memory cannot be pool.
  return T < 15 && T != EfiConventionalMemory && T != 14;
}

// Splits a device path into node spans up to the end node; nullopt when it
// is malformed (a node shorter than its header or no end within the limit).
std::optional<std::vector<std::pair<const uint8_t *, size_t>>> DevicePathNodes(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  std::vector<std::pair<const uint8_t *, size_t>> Nodes;
  const auto *P = reinterpret_cast<const uint8_t *>(Path);
  size_t Walked = 0;
  while (Walked < kDevicePathLimit) {
    const auto *Node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(P);
    const size_t Length = DevicePathNodeLength(Node);
    if (Length < END_DEVICE_PATH_LENGTH) {
      return std::nullopt;
    }
    if (IsDevicePathEnd(Node)) {
      return Nodes;
    }
    Nodes.emplace_back(P, Length);
    P += Length;
    Walked += Length;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- pool

EFI_STATUS AllocatePoolCall(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::AllocatePool)) {
    // Whatever status the rule names, an allocation can only fail for want
    // of memory.
    if (Buffer != nullptr) {
      *Buffer = nullptr;
    }
    return EFI_OUT_OF_RESOURCES;
  }
  if (Buffer == nullptr || !ValidPoolType(PoolType)) {
    return EFI_INVALID_PARAMETER;
  }
  *Buffer = M.PoolAllocate(Size);
  return *Buffer != nullptr ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
}

EFI_STATUS EFIAPI AllocatePoolService(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  const EFI_STATUS Status = AllocatePoolCall(PoolType, Size, Buffer);
  if (EFI_ERROR(Status)) {
    PoisonPointer(Buffer);
  }
  return Status;
}

EFI_STATUS EFIAPI FreePoolService(VOID *Buffer) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FreePool)) {
    return *Fault;  // the block stays allocated
  }
  if (!M.PoolFree(Buffer)) {
    M.BadFrees++;
    char Text[80];
    std::snprintf(Text, sizeof Text, "FreePool(%p): not a live pool block", Buffer);
    M.Misuse(Text);
    return EFI_INVALID_PARAMETER;
  }
  return EFI_SUCCESS;
}

// ---------------------------------------------------------------- CRC-32

// The CRC-32 UEFI uses (that of IEEE 802.3: reflected polynomial
// 0xEDB88320, initial value and final xor all ones), eight bytes a step
// through eight tables, so that images of tens of MiB take milliseconds.
struct Crc32Tables {
  uint32_t T[8][256];
  Crc32Tables() {
    for (uint32_t I = 0; I < 256; I++) {
      uint32_t C = I;
      for (int Bit = 0; Bit < 8; Bit++) {
        C = (C & 1) ? (C >> 1) ^ 0xEDB88320U : C >> 1;
      }
      T[0][I] = C;
    }
    for (uint32_t I = 0; I < 256; I++) {
      for (int K = 1; K < 8; K++) {
        T[K][I] = (T[K - 1][I] >> 8) ^ T[0][T[K - 1][I] & 0xFF];
      }
    }
  }
};

uint32_t Crc32(const uint8_t *Data, size_t Size) {
  static const Crc32Tables Tables;
  const auto &T = Tables.T;
  uint32_t C = 0xFFFFFFFFU;
  for (; Size >= 8; Data += 8, Size -= 8) {
    const uint32_t Low = C ^ (Data[0] | Data[1] << 8 | Data[2] << 16 | static_cast<uint32_t>(Data[3]) << 24);
    C = T[7][Low & 0xFF] ^ T[6][(Low >> 8) & 0xFF] ^ T[5][(Low >> 16) & 0xFF] ^ T[4][Low >> 24] ^ T[3][Data[4]] ^
        T[2][Data[5]] ^ T[1][Data[6]] ^ T[0][Data[7]];
  }
  for (; Size > 0; Data++, Size--) {
    C = (C >> 8) ^ T[0][(C ^ *Data) & 0xFF];
  }
  return C ^ 0xFFFFFFFFU;
}

EFI_STATUS CalculateCrc32Call(VOID *Data, UINTN DataSize, UINT32 *Crc32Out) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::CalculateCrc32)) {
    return *Fault;
  }
  if (Data == nullptr || Crc32Out == nullptr || DataSize == 0) {
    return EFI_INVALID_PARAMETER;
  }
  *Crc32Out = Crc32(static_cast<const uint8_t *>(Data), DataSize);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CalculateCrc32Service(VOID *Data, UINTN DataSize, UINT32 *Crc32Out) {
  const EFI_STATUS Status = CalculateCrc32Call(Data, DataSize, Crc32Out);
  if (EFI_ERROR(Status)) {
    PoisonValue(Crc32Out, static_cast<UINT32>(kPoisonSize));
  }
  return Status;
}

// ---------------------------------------------------------------- events

EFI_STATUS WaitForEventCall(UINTN NumberOfEvents, EFI_EVENT *Events, UINTN *Index) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::WaitForEvent)) {
    return *Fault;
  }
  if (NumberOfEvents == 0 || Events == nullptr || Index == nullptr) {
    M.Misuse("WaitForEvent: no event to wait for, or no place for the index");
    return EFI_INVALID_PARAMETER;
  }
  for (UINTN I = 0; I < NumberOfEvents; I++) {
    if (Events[I] != &M.KeyEvent) {
      M.Misuse("WaitForEvent: event " + std::to_string(I) + " is not ConIn->WaitForKey");
      *Index = I;
      return EFI_INVALID_PARAMETER;
    }
  }
  // The only event there is is the key event. A spurious wake ends the
  // wait with no key; otherwise the next key typed at the prompt arrives.
  // With no key queued a real machine would wait for the user; here the
  // wait ends and the following ReadKeyStroke reports NoKeyStatus.
  *Index = 0;
  if (M.SpuriousWakesLeft != 0) {
    M.SpuriousWakesLeft--;
    return EFI_SUCCESS;
  }
  if (M.Keys.empty()) {
    M.NoteEmptyKeyWait();
  } else {
    M.Keys.front().Arrived = true;
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI WaitForEventService(UINTN NumberOfEvents, EFI_EVENT *Events, UINTN *Index) {
  const EFI_STATUS Status = WaitForEventCall(NumberOfEvents, Events, Index);
  if (EFI_ERROR(Status)) {
    PoisonValue(Index, static_cast<UINTN>(kPoisonSize));
  }
  return Status;
}

// ---------------------------------------------------------------- handle database

EFI_STATUS HandleProtocolCall(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::HandleProtocol)) {
    return *Fault;
  }
  HandleRecord *H = M.FindHandle(Handle);
  if (H == nullptr || Protocol == nullptr || Interface == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (const auto &[Guid, Found] : H->Protocols) {
    if (KitGuidEqual(Guid, *Protocol)) {
      *Interface = Found;
      return EFI_SUCCESS;
    }
  }
  *Interface = nullptr;
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI HandleProtocolService(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface) {
  const EFI_STATUS Status = HandleProtocolCall(Handle, Protocol, Interface);
  if (EFI_ERROR(Status)) {
    PoisonPointer(Interface);
  }
  return Status;
}

constexpr UINT32 kOpenTestProtocol = 0x04;
constexpr UINT32 kOpenByChildController = 0x08;
constexpr UINT32 kOpenByDriver = 0x10;
constexpr UINT32 kOpenExclusive = 0x20;

const char *OpenAttributeName(UINT32 Attributes) {
  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL: return "BY_HANDLE_PROTOCOL";
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL: return "GET_PROTOCOL";
    case kOpenTestProtocol: return "TEST_PROTOCOL";
    default: return "?";
  }
}

// A handle as messages name it: its record's name, or its address.
std::string HandleText(const Firmware::Impl &M, EFI_HANDLE H) {
  if (const HandleRecord *R = M.FindHandle(H)) {
    return "the " + R->Name + " handle";
  }
  char Text[40];
  std::snprintf(Text, sizeof Text, "handle %p", H);
  return Text;
}

EFI_STATUS OpenProtocolCall(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface, EFI_HANDLE AgentHandle,
                            EFI_HANDLE ControllerHandle, UINT32 Attributes) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::OpenProtocol)) {
    return *Fault;
  }
  // The agent of an application's open is its image handle; a stricter
  // firmware checks that the agent is an image at all.
  if (M.Owner.Unkind.StrictAgents) {
    const HandleRecord *Agent = M.FindHandle(AgentHandle);
    if (Agent == nullptr || !Agent->Has(kLoadedImageGuid)) {
      return EFI_INVALID_PARAMETER;
    }
  }
  switch (Attributes) {
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
      if (Interface == nullptr) {
        return EFI_INVALID_PARAMETER;
      }
      break;
    case kOpenTestProtocol: break;
    case kOpenByChildController:
    case kOpenByDriver:
    case kOpenExclusive:
    case kOpenByDriver | kOpenExclusive:
      M.Misuse("OpenProtocol: driver-model attributes are not implemented by the simulated firmware");
      return EFI_UNSUPPORTED;
    default: return EFI_INVALID_PARAMETER;
  }
  HandleRecord *H = M.FindHandle(Handle);
  if (H == nullptr || Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  for (const auto &[Guid, Found] : H->Protocols) {
    if (KitGuidEqual(Guid, *Protocol)) {
      if (Attributes != kOpenTestProtocol) {
        *Interface = Found;
        // Filed under the agent, as firmware's open list keeps it.
        M.Opens.push_back({Handle, *Protocol, AgentHandle, ControllerHandle, Attributes,
                           std::string(OpenAttributeName(Attributes)) + " of " + GuidText(*Protocol) + " on " +
                               HandleText(M, Handle) + " by " + HandleText(M, AgentHandle)});
      }
      return EFI_SUCCESS;
    }
  }
  if (Attributes != kOpenTestProtocol) {
    *Interface = nullptr;
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI OpenProtocolService(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface,
                                      EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle, UINT32 Attributes) {
  const EFI_STATUS Status = OpenProtocolCall(Handle, Protocol, Interface, AgentHandle, ControllerHandle, Attributes);
  if (EFI_ERROR(Status) && Attributes != kOpenTestProtocol) {
    PoisonPointer(Interface);
  }
  return Status;
}

// Removes the opens Agent made of Protocol on Handle for Controller.
EFI_STATUS EFIAPI CloseProtocolService(EFI_HANDLE Handle, const EFI_GUID *Protocol, EFI_HANDLE AgentHandle,
                                       EFI_HANDLE ControllerHandle) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::CloseProtocol)) {
    return *Fault;
  }
  const HandleRecord *H = M.FindHandle(Handle);
  if (H == nullptr || Protocol == nullptr || M.FindHandle(AgentHandle) == nullptr ||
      (ControllerHandle != nullptr && M.FindHandle(ControllerHandle) == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  if (!H->Has(*Protocol)) {
    return EFI_NOT_FOUND;
  }
  const size_t Before = M.Opens.size();
  std::erase_if(M.Opens, [&](const ProtocolOpen &O) {
    return O.Handle == Handle && KitGuidEqual(O.Protocol, *Protocol) && O.Agent == AgentHandle &&
           O.Controller == ControllerHandle;
  });
  return M.Opens.size() != Before ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS LocateHandleBufferCall(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                  UINTN *NoHandles, EFI_HANDLE **Buffer) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::LocateHandleBuffer)) {
    return *Fault;
  }
  if (NoHandles == nullptr || Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<EFI_HANDLE> Found;
  switch (SearchType) {
    case AllHandles:
      for (const auto &H : M.Handles) {
        Found.push_back(H.get());
      }
      break;
    case ByProtocol:
      if (Protocol == nullptr) {
        return EFI_INVALID_PARAMETER;
      }
      for (const auto &H : M.Handles) {
        if (H->Has(*Protocol)) {
          Found.push_back(H.get());
        }
      }
      break;
    case ByRegisterNotify:
      M.Misuse("LocateHandleBuffer: ByRegisterNotify is not implemented by the simulated firmware");
      return EFI_UNSUPPORTED;
    default: return EFI_INVALID_PARAMETER;
  }
  *NoHandles = 0;
  *Buffer = nullptr;
  if (Found.empty()) {
    return EFI_NOT_FOUND;
  }
  auto *Out = static_cast<EFI_HANDLE *>(M.PoolAllocate(Found.size() * sizeof(EFI_HANDLE)));
  if (Out == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::copy(Found.begin(), Found.end(), Out);
  *NoHandles = Found.size();
  *Buffer = Out;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateHandleBufferService(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                            VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer) {
  const EFI_STATUS Status = LocateHandleBufferCall(SearchType, Protocol, NoHandles, Buffer);
  if (EFI_ERROR(Status)) {
    PoisonValue(NoHandles, static_cast<UINTN>(kPoisonSize));
    PoisonPointer(Buffer);
  }
  return Status;
}

EFI_STATUS LocateDevicePathCall(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                EFI_HANDLE *Device) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::LocateDevicePath)) {
    return *Fault;
  }
  if (Protocol == nullptr || DevicePath == nullptr || *DevicePath == nullptr || Device == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Wanted = DevicePathNodes(*DevicePath);
  if (!Wanted) {
    M.Misuse("LocateDevicePath: malformed device path");
    return EFI_NOT_FOUND;
  }
  // The handle whose own path is the longest whole-node prefix of the one
  // asked for; the first one created wins a tie.
  HandleRecord *Best = nullptr;
  size_t BestBytes = 0;
  for (const auto &H : M.Handles) {
    if (!H->Has(*Protocol)) {
      continue;
    }
    const auto *Own = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(H->Find(kDevicePathGuid));
    if (Own == nullptr) {
      continue;
    }
    const auto OwnNodes = DevicePathNodes(Own);
    if (!OwnNodes || OwnNodes->size() > Wanted->size()) {
      continue;
    }
    size_t Bytes = 0;
    bool Match = true;
    for (size_t I = 0; I < OwnNodes->size() && Match; I++) {
      const auto &[A, ALength] = (*OwnNodes)[I];
      const auto &[B, BLength] = (*Wanted)[I];
      Match = ALength == BLength && std::memcmp(A, B, ALength) == 0;
      Bytes += ALength;
    }
    if (Match && (Best == nullptr || Bytes > BestBytes)) {
      Best = H.get();
      BestBytes = Bytes;
    }
  }
  if (Best == nullptr) {
    return EFI_NOT_FOUND;
  }
  *Device = Best;
  *DevicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(reinterpret_cast<uint8_t *>(*DevicePath) + BestBytes);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI LocateDevicePathService(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                          EFI_HANDLE *Device) {
  const EFI_STATUS Status = LocateDevicePathCall(Protocol, DevicePath, Device);
  if (EFI_ERROR(Status)) {
    PoisonHandle(Device);
    PoisonPointer(DevicePath);
  }
  return Status;
}

EFI_STATUS InstallProtocolInterfaceCall(EFI_HANDLE *Handle, const EFI_GUID *Protocol, UINT32 InterfaceType,
                                        VOID *Interface) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::InstallProtocolInterface)) {
    return *Fault;
  }
  if (Handle == nullptr || Protocol == nullptr || InterfaceType != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  HandleRecord *H = nullptr;
  if (*Handle != nullptr) {
    H = M.FindHandle(*Handle);
    if (H == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (H->Has(*Protocol)) {
      return EFI_INVALID_PARAMETER;  // already there
    }
  } else {
    H = M.NewHandle("installed " + GuidText(*Protocol));
    *Handle = H;
  }
  H->Install(*Protocol, Interface);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI InstallProtocolInterfaceService(EFI_HANDLE *Handle, const EFI_GUID *Protocol, UINT32 InterfaceType,
                                                  VOID *Interface) {
  const EFI_STATUS Status = InstallProtocolInterfaceCall(Handle, Protocol, InterfaceType, Interface);
  if (EFI_ERROR(Status)) {
    PoisonHandle(Handle);
  }
  return Status;
}

}  // namespace

// ---------------------------------------------------------------- pool bookkeeping

void *Firmware::Impl::PoolAllocate(size_t Size) {
  if (Size > kPoolLimit) {
    return nullptr;
  }
  void *P = std::malloc(Size != 0 ? Size : 1);
  if (P == nullptr) {
    return nullptr;
  }
  std::memset(P, kPoolGarbage, Size);
  Pool[P] = Size;
  return P;
}

bool Firmware::Impl::PoolFree(void *P) {
  auto It = Pool.find(P);
  if (It == Pool.end()) {
    return false;
  }
  std::free(P);
  Pool.erase(It);
  return true;
}

void Firmware::Impl::NoteEmptyKeyWait() {
  // A real machine would wait here for ever. An application polling an empty
  // queue this often is stuck; stop rather than hang the test run.
  if (++EmptyWaits == kEmptyKeyWaitLimit) {
    std::fprintf(stderr,
                 "simfw: the application waited for a key %llu times with none queued; a real machine would "
                 "wait for ever. Stopping.\n",
                 static_cast<unsigned long long>(EmptyWaits));
    std::abort();
  }
}

void ReportNotImplemented(const char *Slot) {
  Machine().Misuse(std::string(Slot) + " is not implemented by the simulated firmware");
}

void InstallBootServices(Firmware::Impl &M) {
  EFI_BOOT_SERVICES &B = M.BootServices;
  B.Hdr.Signature = 0x56524553544F4F42ULL;  // "BOOTSERV"
  B.Hdr.Revision = (2 << 16) | 70;
  B.Hdr.HeaderSize = sizeof(EFI_BOOT_SERVICES);
  B.RaiseTPL = Stub<"BootServices->RaiseTPL">();
  B.RestoreTPL = Stub<"BootServices->RestoreTPL">();
  B.AllocatePages = Stub<"BootServices->AllocatePages">();
  B.FreePages = Stub<"BootServices->FreePages">();
  B.GetMemoryMap = Stub<"BootServices->GetMemoryMap">();
  B.AllocatePool = AllocatePoolService;
  B.FreePool = FreePoolService;
  B.CreateEvent = Stub<"BootServices->CreateEvent">();
  B.SetTimer = Stub<"BootServices->SetTimer">();
  B.WaitForEvent = WaitForEventService;
  B.SignalEvent = Stub<"BootServices->SignalEvent">();
  B.CloseEvent = Stub<"BootServices->CloseEvent">();
  B.CheckEvent = Stub<"BootServices->CheckEvent">();
  B.InstallProtocolInterface = InstallProtocolInterfaceService;
  B.ReinstallProtocolInterface = Stub<"BootServices->ReinstallProtocolInterface">();
  B.UninstallProtocolInterface = Stub<"BootServices->UninstallProtocolInterface">();
  B.HandleProtocol = HandleProtocolService;
  B.RegisterProtocolNotify = Stub<"BootServices->RegisterProtocolNotify">();
  B.LocateHandle = Stub<"BootServices->LocateHandle">();
  B.LocateDevicePath = LocateDevicePathService;
  B.InstallConfigurationTable = Stub<"BootServices->InstallConfigurationTable">();
  B.LoadImage = Stub<"BootServices->LoadImage">();
  B.StartImage = Stub<"BootServices->StartImage">();
  B.Exit = Stub<"BootServices->Exit">();
  B.UnloadImage = Stub<"BootServices->UnloadImage">();
  B.ExitBootServices = Stub<"BootServices->ExitBootServices">();
  B.GetNextMonotonicCount = Stub<"BootServices->GetNextMonotonicCount">();
  B.Stall = Stub<"BootServices->Stall">();
  B.SetWatchdogTimer = Stub<"BootServices->SetWatchdogTimer">();
  B.ConnectController = Stub<"BootServices->ConnectController">();
  B.DisconnectController = Stub<"BootServices->DisconnectController">();
  B.OpenProtocol = OpenProtocolService;
  B.CloseProtocol = reinterpret_cast<VOID *>(&CloseProtocolService);
  B.OpenProtocolInformation = Stub<"BootServices->OpenProtocolInformation">();
  B.ProtocolsPerHandle = Stub<"BootServices->ProtocolsPerHandle">();
  B.LocateHandleBuffer = LocateHandleBufferService;
  B.LocateProtocol = Stub<"BootServices->LocateProtocol">();
  B.InstallMultipleProtocolInterfaces = Stub<"BootServices->InstallMultipleProtocolInterfaces">();
  B.UninstallMultipleProtocolInterfaces = Stub<"BootServices->UninstallMultipleProtocolInterfaces">();
  B.CalculateCrc32 = CalculateCrc32Service;
  B.CopyMem = Stub<"BootServices->CopyMem">();
  B.SetMem = Stub<"BootServices->SetMem">();
  B.CreateEventEx = Stub<"BootServices->CreateEventEx">();
}

}  // namespace sim
