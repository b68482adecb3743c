// The machine: construction of the tables and the handle database, the
// launch cycle, reboot, power cuts, fault injection and the records.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "Internal.h"
#include "kit/Library.h"

namespace sim {

namespace {

Firmware *CurrentFirmware = nullptr;

// Distinct hardware vendor GUIDs for the two volumes' device paths.
constexpr EFI_GUID kBootDeviceGuid = {0x5A3D1E10, 0x7C42, 0x4B8E, {0x9D, 0x11, 0x3E, 0x60, 0xA2, 0x7F, 0x00, 0x01}};
constexpr EFI_GUID kOtherDeviceGuid = {0x5A3D1E10, 0x7C42, 0x4B8E, {0x9D, 0x11, 0x3E, 0x60, 0xA2, 0x7F, 0x00, 0x02}};

void AppendNode(std::vector<uint8_t> &Path, uint8_t Type, uint8_t SubType, const void *Data, size_t Size) {
  const size_t Length = 4 + Size;
  Path.push_back(Type);
  Path.push_back(SubType);
  Path.push_back(static_cast<uint8_t>(Length & 0xFF));
  Path.push_back(static_cast<uint8_t>(Length >> 8));
  const auto *Bytes = static_cast<const uint8_t *>(Data);
  Path.insert(Path.end(), Bytes, Bytes + Size);
}

void AppendEnd(std::vector<uint8_t> &Path) {
  AppendNode(Path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, nullptr, 0);
}

std::vector<uint8_t> VendorDevicePath(const EFI_GUID &Guid) {
  std::vector<uint8_t> Path;
  AppendNode(Path, HARDWARE_DEVICE_PATH, HW_VENDOR_DP, &Guid, sizeof Guid);
  AppendEnd(Path);
  return Path;
}

std::vector<uint8_t> FilePathNode(const std::u16string &Name) {
  std::vector<uint8_t> Path;
  std::u16string Terminated = Name + u'\0';
  AppendNode(Path, MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, Terminated.data(), Terminated.size() * sizeof(char16_t));
  AppendEnd(Path);
  return Path;
}

void FillImage(EFI_LOADED_IMAGE_PROTOCOL &Image, EFI_HANDLE Parent, EFI_SYSTEM_TABLE *Table, EFI_HANDLE Device,
               std::vector<uint8_t> &FilePath) {
  Image.Revision = 0x1000;
  Image.ParentHandle = Parent;
  Image.SystemTable = Table;
  Image.DeviceHandle = Device;
  Image.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(FilePath.data());
  Image.ImageCodeType = EfiLoaderCode;
  Image.ImageDataType = EfiLoaderData;
}

}  // namespace

// ---------------------------------------------------------------- names

const char *ServiceName(Service S) {
  static const char *const Names[] = {
      "AllocatePool",
      "FreePool",
      "WaitForEvent",
      "HandleProtocol",
      "LocateDevicePath",
      "OpenProtocol",
      "LocateHandleBuffer",
      "GetVariable",
      "SetVariable",
      "ResetSystem",
      "ReadKeyStroke",
      "OutputString",
      "OpenVolume",
      "FileOpen",
      "FileClose",
      "FileDelete",
      "FileRead",
      "FileWrite",
      "FileGetPosition",
      "FileSetPosition",
      "FileGetInfo",
      "FileSetInfo",
      "FileFlush",
      "SmbiosGetNext",
      "ShellExecute",
      "VendorRequest",
      "IoRead8",
      "IoWrite8",
      "InstallProtocolInterface",
      "InputReset",
      "CalculateCrc32",
      "ShellOpenFileByName",
      "ShellGetFileInfo",
      "ShellCloseFile",
      "GetTime",
      "CloseProtocol",
  };
  static_assert(sizeof Names / sizeof Names[0] == static_cast<size_t>(Service::Count));
  const auto I = static_cast<size_t>(S);
  return I < static_cast<size_t>(Service::Count) ? Names[I] : "?";
}

const char *EventKindName(Event::Kind K) {
  switch (K) {
    case Event::Kind::FileCreate: return "FileCreate";
    case Event::Kind::FileWrite: return "FileWrite";
    case Event::Kind::FileCommit: return "FileCommit";
    case Event::Kind::FileClose: return "FileClose";
    case Event::Kind::FileDelete: return "FileDelete";
    case Event::Kind::PortRead: return "PortRead";
    case Event::Kind::PortWrite: return "PortWrite";
    case Event::Kind::Reset: return "Reset";
    case Event::Kind::Execute: return "Execute";
    case Event::Kind::VendorRequest: return "VendorRequest";
    case Event::Kind::SetVariable: return "SetVariable";
  }
  return "?";
}

// ---------------------------------------------------------------- UTF conversion

void AppendUtf8(std::string &Out, uint32_t C) {
  if (C < 0x80) {
    Out += static_cast<char>(C);
  } else if (C < 0x800) {
    Out += static_cast<char>(0xC0 | (C >> 6));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else if (C < 0x10000) {
    Out += static_cast<char>(0xE0 | (C >> 12));
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (C >> 18));
    Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (C & 0x3F));
  }
}

std::string ToUtf8(const std::u16string &S) {
  std::string Out;
  for (size_t I = 0; I < S.size(); I++) {
    uint32_t C = S[I];
    if (C >= 0xD800 && C <= 0xDBFF && I + 1 < S.size() && S[I + 1] >= 0xDC00 && S[I + 1] <= 0xDFFF) {
      C = 0x10000 + ((C - 0xD800) << 10) + (S[I + 1] - 0xDC00);
      I++;
    } else if (C >= 0xD800 && C <= 0xDFFF) {
      C = 0xFFFD;  // lone surrogate
    }
    AppendUtf8(Out, C);
  }
  return Out;
}

std::u16string FromUtf8(const std::string &S) {
  std::u16string Out;
  size_t I = 0;
  while (I < S.size()) {
    const auto B = static_cast<uint8_t>(S[I]);
    uint32_t C = 0xFFFD;
    size_t Extra = 0;
    uint32_t Min = 0;
    if (B < 0x80) {
      C = B;
    } else if ((B & 0xE0) == 0xC0) {
      C = B & 0x1F, Extra = 1, Min = 0x80;
    } else if ((B & 0xF0) == 0xE0) {
      C = B & 0x0F, Extra = 2, Min = 0x800;
    } else if ((B & 0xF8) == 0xF0) {
      C = B & 0x07, Extra = 3, Min = 0x10000;
    }
    I++;
    if (B >= 0x80 && Extra == 0) {
      C = 0xFFFD;
    }
    for (size_t K = 0; K < Extra; K++, I++) {
      if (I >= S.size() || (static_cast<uint8_t>(S[I]) & 0xC0) != 0x80) {
        C = 0xFFFD, Extra = 0;
        break;
      }
      C = (C << 6) | (static_cast<uint8_t>(S[I]) & 0x3F);
    }
    if (Extra != 0 && (C < Min || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF))) {
      C = 0xFFFD;
    }
    if (C >= 0x10000) {
      C -= 0x10000;
      Out += static_cast<char16_t>(0xD800 + (C >> 10));
      Out += static_cast<char16_t>(0xDC00 + (C & 0x3FF));
    } else {
      Out += static_cast<char16_t>(C);
    }
  }
  return Out;
}

std::optional<size_t> BoundedLength(const CHAR16 *S, size_t Limit) {
  for (size_t I = 0; I < Limit; I++) {
    if (S[I] == 0) {
      return I;
    }
  }
  return std::nullopt;
}

std::string GuidText(const EFI_GUID &G) {
  char Text[40];
  std::snprintf(Text, sizeof Text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", G.Data1, G.Data2, G.Data3,
                G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return Text;
}

// ---------------------------------------------------------------- handles

bool HandleRecord::Has(const EFI_GUID &Guid) const {
  for (const auto &P : Protocols) {
    if (KitGuidEqual(P.first, Guid)) {
      return true;
    }
  }
  return false;
}

VOID *HandleRecord::Find(const EFI_GUID &Guid) const {
  for (const auto &[G, Interface] : Protocols) {
    if (KitGuidEqual(G, Guid)) {
      return Interface;
    }
  }
  return nullptr;
}

void HandleRecord::Install(const EFI_GUID &Guid, VOID *Interface) {
  Uninstall(Guid);
  Protocols.emplace_back(Guid, Interface);
}

void HandleRecord::Uninstall(const EFI_GUID &Guid) {
  std::erase_if(Protocols, [&](const auto &P) { return KitGuidEqual(P.first, Guid); });
}

HandleRecord *Firmware::Impl::NewHandle(std::string Name) {
  Handles.push_back(std::make_unique<HandleRecord>());
  Handles.back()->Name = std::move(Name);
  return Handles.back().get();
}

void Firmware::Impl::RemoveHandle(HandleRecord *H) {
  std::erase_if(Handles, [&](const auto &P) { return P.get() == H; });
}

HandleRecord *Firmware::Impl::FindHandle(EFI_HANDLE H) const {
  for (const auto &P : Handles) {
    if (P.get() == H) {
      return P.get();
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------- Shell parameters

void ArgvBlock::Build(const std::vector<std::u16string> &Argv) {
  Strings.clear();
  Pointers = std::make_unique<CHAR16 *[]>(Argv.empty() ? 1 : Argv.size());
  for (size_t I = 0; I < Argv.size(); I++) {
    auto S = std::make_unique<CHAR16[]>(Argv[I].size() + 1);
    std::copy(Argv[I].begin(), Argv[I].end(), S.get());
    S[Argv[I].size()] = 0;
    Pointers[I] = S.get();
    Strings.push_back(std::move(S));
  }
}

void Firmware::Impl::RefreshShellParameters() {
  AppArgv.Build(Argv);
  AppParameters.Argv = AppArgv.Pointers.get();
  AppParameters.Argc = Argv.size();
  if (OddParameters) {
    for (size_t Word : OddNullWords) {
      AppArgv.Pointers[Word] = nullptr;
    }
    AppParameters.Argv = OddNoArgv ? nullptr : AppArgv.Pointers.get();
    AppParameters.Argc = OddArgc;
  }
  ShellOwnArgv.Build(ShellArgv);
  ShellParameters.Argv = ShellOwnArgv.Pointers.get();
  ShellParameters.Argc = ShellArgv.size();

  // The Shell also hands the command line to the image as its load options.
  LoadOptions.clear();
  for (size_t I = 0; I < Argv.size(); I++) {
    LoadOptions += (I ? u" " : u"") + Argv[I];
  }
  AppLoadedImage.LoadOptions = LoadOptions.data();
  AppLoadedImage.LoadOptionsSize = static_cast<UINT32>((LoadOptions.size() + 1) * sizeof(CHAR16));

  ShellImage->Uninstall(kShellParametersGuid);
  AppImage->Uninstall(kShellParametersGuid);
  if (ShellParameterInstances >= 1) {
    ShellImage->Install(kShellParametersGuid, &ShellParameters);
    for (const auto &Nested : NestedShells) {
      Nested->Image->Uninstall(kShellParametersGuid);
      Nested->Image->Install(kShellParametersGuid, &Nested->Parameters);
    }
  }
  if (ShellParameterInstances >= 2) {
    AppImage->Install(kShellParametersGuid, &AppParameters);
  }
}

// ---------------------------------------------------------------- construction

Firmware::Impl::Impl(Firmware &Owner) : Owner(Owner) {
  InstallBootServices(*this);
  InstallRuntimeServices(*this);
  InstallConsole(*this);

  SystemTable.Hdr.Signature = 0x5453595320494249ULL;  // "IBI SYST"
  SystemTable.Hdr.Revision = (2 << 16) | 70;
  SystemTable.Hdr.HeaderSize = sizeof(EFI_SYSTEM_TABLE);
  SystemTable.FirmwareVendor = FirmwareVendor.data();
  SystemTable.FirmwareRevision = 0x00010000;
  SystemTable.ConIn = &ConIn;
  SystemTable.ConOut = &ConOut;
  SystemTable.StdErr = &StdErr;
  SystemTable.BootServices = &BootServices;
  SystemTable.RuntimeServices = &RuntimeServices;

  // The handles, in the order a machine booted into the Shell has them.
  ShellImage = NewHandle("Shell image");
  AppImage = NewHandle("application image");
  Boot = std::make_unique<VolumeDevice>("boot");
  Boot->Handle = NewHandle("boot volume");
  Other = std::make_unique<VolumeDevice>("other");
  Other->Handle = NewHandle("other volume");

  Boot->DevicePath = VendorDevicePath(kBootDeviceGuid);
  Other->DevicePath = VendorDevicePath(kOtherDeviceGuid);
  for (VolumeDevice *D : {Boot.get(), Other.get()}) {
    InstallFileSystem(*this, *D);
    D->Handle->Install(kDevicePathGuid, D->DevicePath.data());
    D->Handle->Install(kSimpleFileSystemGuid, &D->FileSystem);
  }
  Boot->Vol.PutFile("Tamsork.efi", std::string("MZ\x90\0simulated image", 19));
  Boot->Vol.PutFile(kFlashToolName, std::string("MZ\x90\0simulated flash tool", 24));

  ShellFilePath = FilePathNode(u"\\EFI\\BOOT\\BOOTX64.EFI");
  FillImage(ShellLoadedImage, nullptr, &SystemTable, Boot->Handle, ShellFilePath);
  AppFilePath = FilePathNode(u"\\Tamsork.efi");
  FillImage(AppLoadedImage, ShellImage, &SystemTable, Boot->Handle, AppFilePath);
  ShellImage->Install(kLoadedImageGuid, &ShellLoadedImage);
  AppImage->Install(kLoadedImageGuid, &AppLoadedImage);
  RefreshShellParameters();

  InstallShellServices(Shell);

  Variables[{kMemoryOverwriteRequestControlName, kMemoryOverwriteRequestControlGuid}] = {
      EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS, {0x00}};
  SmbiosTable = {BiosInformation("1.00"), SystemInformation("Simulated Board"), ProcessorInformation(0x000906EA)};
  LayOutSmbios();
}

Firmware::Firmware() {
  if (CurrentFirmware != nullptr) {
    throw std::logic_error("only one simulated Firmware may exist at a time");
  }
  Impl_ = std::make_unique<Impl>(*this);
  SetSmbiosInstances(1);
  SetVendorControlInstances(1);
  SetShellProtocolInstalled(true);
  CurrentFirmware = this;
}

Firmware::~Firmware() {
  for (auto &[P, Size] : Impl_->Pool) {
    std::free(P);
  }
  Impl_->Pool.clear();
  CurrentFirmware = nullptr;
  // The kit's globals must not outlive the tables they point into: a later
  // report of the kit (an assertion) would write through them.
  if (gST == SystemTable()) {
    gImageHandle = nullptr;
    gST = nullptr;
    gBS = nullptr;
    gRT = nullptr;
  }
}

Firmware *Firmware::Current() { return CurrentFirmware; }

Firmware::Impl &Machine() {
  Firmware *F = Firmware::Current();
  if (F == nullptr) {
    std::fputs("simfw: a firmware service was called with no simulated Firmware in existence\n", stderr);
    std::abort();
  }
  return F->State();
}

// ---------------------------------------------------------------- the machine

EFI_SYSTEM_TABLE *Firmware::SystemTable() { return &Impl_->SystemTable; }
EFI_HANDLE Firmware::ImageHandle() { return Impl_->AppImage; }
EFI_HANDLE Firmware::ShellImageHandle() { return Impl_->ShellImage; }
Volume &Firmware::BootVolume() { return Impl_->Boot->Vol; }
Volume &Firmware::OtherVolume() { return Impl_->Other->Vol; }
const Volume &Firmware::BootVolume() const { return Impl_->Boot->Vol; }
const Volume &Firmware::OtherVolume() const { return Impl_->Other->Vol; }
EFI_HANDLE Firmware::BootVolumeHandle() { return Impl_->Boot->Handle; }
EFI_HANDLE Firmware::OtherVolumeHandle() { return Impl_->Other->Handle; }

void Firmware::SetCommandLine(const std::vector<std::u16string> &Argv) {
  Impl_->Argv = Argv;
  Impl_->OddParameters = false;
  Impl_->RefreshShellParameters();
}

void Firmware::SetNestedShells(int Count) {
  auto &M = *Impl_;
  for (const auto &Nested : M.NestedShells) {
    M.RemoveHandle(Nested->Image);
  }
  M.NestedShells.clear();
  for (int I = 0; I < Count; I++) {
    auto Nested = std::make_unique<Impl::NestedShell>();
    // Handles are listed in creation order: a nested Shell comes before the
    // application it starts.
    const auto At = std::find_if(M.Handles.begin(), M.Handles.end(),
                                 [&](const auto &H) { return H.get() == M.AppImage; });
    Nested->Image = M.Handles.insert(At, std::make_unique<HandleRecord>())->get();
    Nested->Image->Name = "nested Shell image " + std::to_string(I);
    Nested->Words.Build({u"FS0:\\Shell.efi", u"-nostartup", u"-exit", u"Tamsork.efi", u"bios.bin"});
    Nested->Parameters.Argv = Nested->Words.Pointers.get();
    Nested->Parameters.Argc = 5;
    M.NestedShells.push_back(std::move(Nested));
  }
  M.RefreshShellParameters();
}

void Firmware::SetOddShellParameters(bool NoArgv, size_t Argc, const std::vector<size_t> &NullWords) {
  auto &M = *Impl_;
  for (size_t Word : NullWords) {
    if (Word >= M.Argv.size()) {
      throw std::invalid_argument("a NULL word beyond the command line");
    }
  }
  if (Argc > M.Argv.size()) {
    throw std::invalid_argument("Argc beyond the words there are");
  }
  M.OddParameters = true;
  M.OddNoArgv = NoArgv;
  M.OddArgc = Argc;
  M.OddNullWords = NullWords;
  M.RefreshShellParameters();
}

void Firmware::SetCurrentDirectory(const std::u16string &Directory) { Impl_->CurrentDirectory = Directory; }
std::u16string Firmware::CurrentDirectory() const { return Impl_->CurrentDirectory; }

std::u16string Firmware::Impl::MappingOf(const VolumeDevice &D) const { return &D == Boot.get() ? u"FS0:" : u"FS1:"; }

VolumeDevice *Firmware::Impl::VolumeOfMapping(const std::u16string &Name) const {
  for (VolumeDevice *D : {Boot.get(), Other.get()}) {
    if (NamesEqual(Name, MappingOf(*D))) {
      return D;
    }
  }
  return nullptr;
}

void Firmware::SetShellParameterInstances(int Count) {
  if (Count < 0 || Count > 2) {
    throw std::invalid_argument("Shell Parameters instances must be 0, 1 or 2");
  }
  Impl_->ShellParameterInstances = Count;
  Impl_->RefreshShellParameters();
}

void Firmware::SetSmbiosInstances(int Count) {
  auto &M = *Impl_;
  for (HandleRecord *H : M.SmbiosHandles) {
    M.RemoveHandle(H);
  }
  M.SmbiosHandles.clear();
  M.SmbiosInstances.clear();
  for (int I = 0; I < Count; I++) {
    auto Protocol = std::make_unique<EFI_SMBIOS_PROTOCOL>();
    Protocol->GetNext = SmbiosGetNextEntry();
    Protocol->MajorVersion = 3;
    Protocol->MinorVersion = 0;
    HandleRecord *H = M.NewHandle("SMBIOS " + std::to_string(I));
    H->Install(kSmbiosGuid, Protocol.get());
    M.SmbiosHandles.push_back(H);
    M.SmbiosInstances.push_back(std::move(Protocol));
  }
}

void Firmware::SetVendorControlInstances(int Count) {
  auto &M = *Impl_;
  for (HandleRecord *H : M.VendorHandles) {
    M.RemoveHandle(H);
  }
  M.VendorHandles.clear();
  M.VendorInstances.clear();
  for (int I = 0; I < Count; I++) {
    auto Protocol = std::make_unique<VendorControlProtocol>();
    Protocol->Unused = &M.VendorDummy;
    Protocol->Request = VendorRequestEntry();
    HandleRecord *H = M.NewHandle("vendor control " + std::to_string(I));
    H->Install(kVendorControlGuid, Protocol.get());
    M.VendorHandles.push_back(H);
    M.VendorInstances.push_back(std::move(Protocol));
  }
}

void Firmware::SetShellProtocolInstalled(bool Installed) {
  auto &M = *Impl_;
  if (Installed && M.ShellHandle == nullptr) {
    M.ShellHandle = M.NewHandle("Shell");
    M.ShellHandle->Install(kShellGuid, &M.Shell);
  } else if (!Installed && M.ShellHandle != nullptr) {
    M.RemoveHandle(M.ShellHandle);
    M.ShellHandle = nullptr;
  }
}

// ---------------------------------------------------------------- records

uint64_t Firmware::Impl::Record(Event E) {
  if (!Recording()) {
    return 0;
  }
  E.Seq = NextSeq++;
  Events.push_back(std::move(E));
  return Events.back().Seq;
}

void Firmware::Impl::Misuse(std::string What) { Misuses.push_back(std::move(What)); }

// ---------------------------------------------------------------- poison and opens

bool Poisoning() {
  const Firmware *F = Firmware::Current();
  return F != nullptr && F->Unkind.PoisonOutputs;
}

void PoisonBytes(VOID *Buffer, size_t Size) {
  if (Buffer != nullptr && Poisoning()) {
    std::memset(Buffer, kPoisonByte, Size);
  }
}

void Firmware::Impl::ReleaseImageOpens() {
  ForeignOpens.clear();
  for (ProtocolOpen &O : Opens) {
    if (O.Agent != AppImage) {
      ForeignOpens.push_back(std::move(O));
    }
  }
  Opens.clear();
}

const std::vector<ProtocolOpen> &Firmware::ForeignAgentOpens() const { return Impl_->ForeignOpens; }

const std::vector<Event> &Firmware::Events() const { return Impl_->Events; }

std::vector<Event> Firmware::EventsOf(Event::Kind K) const {
  std::vector<Event> Out;
  for (const Event &E : Impl_->Events) {
    if (E.What == K) {
      Out.push_back(E);
    }
  }
  return Out;
}

const std::vector<VendorRequestCall> &Firmware::VendorRequests() const { return Impl_->VendorCalls; }
const std::vector<ExecuteCall> &Firmware::Executions() const { return Impl_->Executions; }

std::vector<std::pair<uint16_t, uint8_t>> Firmware::PortWrites() const {
  std::vector<std::pair<uint16_t, uint8_t>> Out;
  for (const Event &E : Impl_->Events) {
    if (E.What == Event::Kind::PortWrite) {
      Out.emplace_back(E.Port, E.Value);
    }
  }
  return Out;
}

std::vector<uint16_t> Firmware::PortReads() const {
  std::vector<uint16_t> Out;
  for (const Event &E : Impl_->Events) {
    if (E.What == Event::Kind::PortRead) {
      Out.push_back(E.Port);
    }
  }
  return Out;
}

bool Firmware::ResetRequested() const { return Impl_->ResetRequested; }
EFI_RESET_TYPE Firmware::LastResetType() const { return Impl_->LastReset; }
const std::vector<std::string> &Firmware::Misuses() const { return Impl_->Misuses; }

// ---------------------------------------------------------------- faults and power

std::optional<EFI_STATUS> Firmware::Impl::Gate(Service S) {
  Calls++;
  const uint64_t Nth = ++ServiceCalls[static_cast<size_t>(S)];
  CallLog.push_back(S);
  if (Launching && CutAt && !PowerCut && Calls >= *CutAt) {
    TakePowerCutSnapshot();
  }
  if (auto It = CallFaults.find(Calls); It != CallFaults.end()) {
    return It->second;
  }
  if (auto It = ServiceFaults.find({S, Nth}); It != ServiceFaults.end()) {
    return It->second;
  }
  return std::nullopt;
}

void Firmware::Impl::TakePowerCutSnapshot() {
  PowerCut = true;
  BootSnapshot = Boot->Vol.Root()->MediumCopy();
  OtherSnapshot = Other->Vol.Root()->MediumCopy();
  VariableSnapshot.clear();
  for (const auto &[K, V] : Variables) {
    if (V.Attributes & EFI_VARIABLE_NON_VOLATILE) {
      VariableSnapshot.emplace(K, V);
    }
  }
}

void Firmware::Impl::RestorePowerCutSnapshot() {
  RestoreVolume(Boot->Vol, *BootSnapshot);
  RestoreVolume(Other->Vol, *OtherSnapshot);
  Variables = VariableSnapshot;
  BootSnapshot.reset();
  OtherSnapshot.reset();
  VariableSnapshot.clear();
}

void Firmware::FailNth(Service S, uint64_t Nth, EFI_STATUS Status) { Impl_->ServiceFaults[{S, Nth}] = Status; }
void Firmware::FailCallNumber(uint64_t Nth, EFI_STATUS Status) { Impl_->CallFaults[Nth] = Status; }

void Firmware::ClearFaults() {
  Impl_->ServiceFaults.clear();
  Impl_->CallFaults.clear();
}

uint64_t Firmware::CallCount() const { return Impl_->Calls; }
uint64_t Firmware::CallCount(Service S) const { return Impl_->ServiceCalls.at(static_cast<size_t>(S)); }

Service Firmware::CallService(uint64_t Nth) const {
  if (Nth == 0 || Nth > Impl_->CallLog.size()) {
    throw std::out_of_range("no such firmware call in this launch");
  }
  return Impl_->CallLog[Nth - 1];
}

void Firmware::CutPowerAtCall(uint64_t Nth) { Impl_->CutAt = Nth; }
bool Firmware::PowerWasCut() const { return Impl_->PowerCut; }

// ---------------------------------------------------------------- accounting

size_t Firmware::LivePoolBlocks() const { return Impl_->Pool.size(); }
size_t Firmware::OpenFileHandles() const { return Impl_->OpenFiles; }
size_t Firmware::BadFrees() const { return Impl_->BadFrees; }

// ---------------------------------------------------------------- running

void Firmware::Impl::ResetLaunchRecords() {
  std::erase_if(Files, [](const auto &P) { return !P.second->Open; });
  Events.clear();
  NextSeq = 1;
  VendorCalls.clear();
  Executions.clear();
  ResetRequested = false;
  LastReset = EfiResetCold;
  Misuses.clear();
  Out.clear();
  Err.clear();
  EmptyWaits = 0;
  Calls = 0;
  ServiceCalls.fill(0);
  CallLog.clear();
  PowerCut = false;
  BadFrees = 0;
  Opens.clear();
  ForeignOpens.clear();
}

namespace {

// Moves the clock on by Seconds, carrying into minutes, hours and days (a
// simulated month is long enough for any test).
void AdvanceClock(EFI_TIME &Clock, uint32_t Seconds) {
  uint64_t Total = Clock.Second + 60ull * Clock.Minute + 3600ull * Clock.Hour + Seconds;
  Clock.Second = static_cast<UINT8>(Total % 60);
  Clock.Minute = static_cast<UINT8>(Total / 60 % 60);
  Clock.Hour = static_cast<UINT8>(Total / 3600 % 24);
  Clock.Day = static_cast<UINT8>(Clock.Day + Total / 86400);
}

}  // namespace

EFI_STATUS Firmware::Launch(EntryPoint Entry) {
  auto &M = *Impl_;
  if (M.Launching) {
    throw std::logic_error("Launch() called while the application is running");
  }
  M.ResetLaunchRecords();
  M.RefreshShellParameters();
  AdvanceClock(Clock, ClockStep);
  if (M.CutAt && *M.CutAt == 0) {
    M.TakePowerCutSnapshot();
  }
  M.Launching = true;
  const EFI_STATUS Status = Entry(ImageHandle(), SystemTable());
  M.Launching = false;
  M.ReleaseImageOpens();
  if (M.PowerCut) {
    M.RestorePowerCutSnapshot();
  }
  M.CutAt.reset();
  return Status;
}

EFI_STATUS Firmware::Launch() { return Launch(&EfiMain); }

void Firmware::Impl::RebootMachine() {
  BootFlashedBios();
  Boot->Vol.DropCache();
  Other->Vol.DropCache();
  std::erase_if(Variables, [](const auto &P) { return (P.second.Attributes & EFI_VARIABLE_NON_VOLATILE) == 0; });
  for (auto &[P, F] : Files) {
    F->Open = false;
  }
  OpenFiles = 0;
  for (auto &[P, Size] : Pool) {
    std::free(P);
  }
  Pool.clear();
}

void Firmware::Reboot() { Impl_->RebootMachine(); }

}  // namespace sim
