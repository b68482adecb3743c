// The board: I/O ports, the vendor's control protocol, and the Shell's
// Execute.
#include <cstring>

#include "Internal.h"
#include "kit/Library.h"

namespace sim {

namespace {

// The board's control port; every other port reads as a floating bus.
constexpr UINTN kBoardControlPort = 0x419F;
constexpr uint8_t kFloatingBus = 0xFF;
constexpr size_t kCommandLineLimit = 1 << 16;

// The I/O port space is 16 bits wide; a larger number is a caller fault.
void CheckPort(Firmware::Impl &M, UINTN Port, const char *Service) {
  if (Port > 0xFFFF) {
    M.Misuse(std::string(Service) + ": port number beyond the 16-bit I/O space");
  }
}

EFI_STATUS EFIAPI VendorRequestService(::VENDOR_CONTROL_PROTOCOL *This, UINTN A2, UINTN A3, UINTN A4, UINT32 A5,
                                       VOID *Buffer, UINT32 BufferSize, UINT64 *Result) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::VendorRequest)) {
    return *Fault;
  }
  size_t Index = M.VendorInstances.size();
  for (size_t I = 0; I < M.VendorInstances.size(); I++) {
    if (static_cast<void *>(M.VendorInstances[I].get()) == static_cast<void *>(This)) {
      Index = I;
    }
  }
  if (Index == M.VendorInstances.size()) {
    M.Misuse("VENDOR_CONTROL_PROTOCOL Request: This is not an installed instance");
  }
  // Touch all of the caller's buffer, so a buffer smaller than it claims
  // is caught by the address sanitizer.
  if (Buffer != nullptr) {
    std::memset(Buffer, 0, BufferSize);
  } else if (BufferSize != 0) {
    M.Misuse("VENDOR_CONTROL_PROTOCOL Request: null Buffer with nonzero BufferSize");
  }
  if (Result != nullptr) {
    *Result = 0;
  }
  Event E;
  E.What = Event::Kind::VendorRequest;
  E.Value = static_cast<uint8_t>(Index < 0xFF ? Index : 0xFF);
  if (const uint64_t Seq = M.Record(std::move(E))) {
    M.VendorCalls.push_back({Index, Seq, This, A2, A3, A4, A5, Buffer, BufferSize, Result});
  }
  return M.Owner.VendorRequestStatus;
}

EFI_STATUS EFIAPI ExecuteService(EFI_HANDLE *ParentImageHandle, CHAR16 *CommandLine, CHAR16 **Environment,
                                 EFI_STATUS *StatusCode) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::ShellExecute)) {
    return *Fault;
  }
  if (CommandLine == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Length = BoundedLength(CommandLine, kCommandLineLimit);
  if (!Length) {
    M.Misuse("Shell Execute: command line without a terminator");
    return EFI_INVALID_PARAMETER;
  }
  ExecuteCall Call;
  Call.ParentImageHandle = ParentImageHandle;
  Call.Parent = ParentImageHandle != nullptr ? *ParentImageHandle : nullptr;
  Call.CommandLine.assign(CommandLine, *Length);
  Call.EnvironmentGiven = Environment != nullptr;
  Call.StatusCodeGiven = StatusCode != nullptr;
  Event E;
  E.What = Event::Kind::Execute;
  E.Text = ToUtf8(Call.CommandLine);
  if ((Call.Seq = M.Record(std::move(E)))) {
    M.Executions.push_back(std::move(Call));
  }
  const EFI_STATUS Status = M.Owner.ExecuteStatus;
  if (!EFI_ERROR(Status) && StatusCode != nullptr) {
    *StatusCode = M.Owner.ExecuteCommandStatus;
  }
  return Status;
}

}  // namespace

VendorRequestFn VendorRequestEntry() { return VendorRequestService; }
EFI_SHELL_EXECUTE ShellExecuteEntry() { return ExecuteService; }

void Firmware::SetControlPort(uint8_t Value) { Impl_->ControlPort = Value; }
uint8_t Firmware::ControlPort() const { return Impl_->ControlPort; }

}  // namespace sim

// The kit's port accessors, served by the simulated board.
UINT8 IoRead8(UINTN Port) {
  auto &M = sim::Machine();
  if (M.Gate(sim::Service::IoRead8)) {
    return sim::kFloatingBus;
  }
  sim::CheckPort(M, Port, "IoRead8");
  const uint8_t Value = Port == sim::kBoardControlPort ? M.ControlPort : sim::kFloatingBus;
  sim::Event E;
  E.What = sim::Event::Kind::PortRead;
  E.Port = static_cast<uint16_t>(Port);
  E.Value = Value;
  M.Record(std::move(E));
  return Value;
}

UINT8 IoWrite8(UINTN Port, UINT8 Value) {
  auto &M = sim::Machine();
  if (M.Gate(sim::Service::IoWrite8)) {
    return Value;
  }
  sim::CheckPort(M, Port, "IoWrite8");
  sim::Event E;
  E.What = sim::Event::Kind::PortWrite;
  E.Port = static_cast<uint16_t>(Port);
  E.Value = Value;
  M.Record(std::move(E));
  return Value;
}
