// Shared state and helpers of the simulated firmware. Not part of the
// public interface: the services in the other files of this directory reach
// the machine through Firmware::Current()->State().
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "simfw/Firmware.h"

namespace sim {

// ---------------------------------------------------------------- GUIDs
//
// Written here independently of the application's own copies, so that a
// typing slip on either side shows up as a protocol that cannot be found.

inline constexpr EFI_GUID kDevicePathGuid = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kFileInfoGuid = {
    0x09576E92, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kSimpleFileSystemGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kLoadedImageGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
inline constexpr EFI_GUID kShellParametersGuid = {
    0x752F3136, 0x4E16, 0x4FDC, {0xA2, 0x2A, 0xE5, 0xF4, 0x68, 0x12, 0xF4, 0xCA}};
inline constexpr EFI_GUID kShellGuid = {0x6302D008, 0x7F9B, 0x4F30, {0x87, 0xAC, 0x60, 0xC9, 0xFE, 0xF5, 0xDA, 0x4E}};
inline constexpr EFI_GUID kSmbiosGuid = {0x03583FF6, 0xCB36, 0x4940, {0x94, 0x7E, 0xB9, 0xB3, 0x9F, 0x4A, 0xFA, 0xF7}};
inline constexpr EFI_GUID kVendorControlGuid = {
    0x937A7061, 0xE4FA, 0x11E5, {0xAC, 0xDB, 0x40, 0xA8, 0xF0, 0x57, 0x39, 0x9B}};

inline bool GuidLess(const EFI_GUID &A, const EFI_GUID &B) {
  return std::tie(A.Data1, A.Data2, A.Data3, A.Data4[0], A.Data4[1], A.Data4[2], A.Data4[3], A.Data4[4], A.Data4[5],
                  A.Data4[6], A.Data4[7]) < std::tie(B.Data1, B.Data2, B.Data3, B.Data4[0], B.Data4[1], B.Data4[2],
                                                     B.Data4[3], B.Data4[4], B.Data4[5], B.Data4[6], B.Data4[7]);
}

// ---------------------------------------------------------------- protocols of our own

}  // namespace sim

// The application's name for the board vendor's control interface, declared
// and never defined here. Request takes a pointer to it so that its function
// type is exactly the one callers use: a call through a pointer of another
// function type is undefined, and the sanitizer's function check stops it.
struct VENDOR_CONTROL_PROTOCOL;

namespace sim {

// The board vendor's control interface. Only Request is called; the first
// member is never used but must not be null.
using VendorRequestFn = EFI_STATUS(EFIAPI *)(::VENDOR_CONTROL_PROTOCOL *This, UINTN A2, UINTN A3, UINTN A4,
                                             UINT32 A5, VOID *Buffer, UINT32 BufferSize, UINT64 *Result);
struct VendorControlProtocol {
  VOID *Unused;
  VendorRequestFn Request;
};
static_assert(offsetof(VendorControlProtocol, Request) == 8);

// Text output mode, pointed to by ConOut->Mode.
struct TextOutputMode {
  INT32 MaxMode;
  INT32 Mode;
  INT32 Attribute;
  INT32 CursorColumn;
  INT32 CursorRow;
  BOOLEAN CursorVisible;
};

// ---------------------------------------------------------------- volume nodes

struct Volume::Node : std::enable_shared_from_this<Volume::Node> {
  std::u16string Name;  // as created; the root's is empty
  bool Directory = false;
  uint64_t Attributes = 0;  // EFI_FILE_* bits other than EFI_FILE_DIRECTORY
  std::vector<uint8_t> Medium;
  std::vector<uint8_t> Cache;  // meaningful only while Dirty
  bool Dirty = false;
  std::vector<std::shared_ptr<Node>> Children;  // directory order
  std::weak_ptr<Node> Parent;

  const std::vector<uint8_t> &Current() const { return Dirty ? Cache : Medium; }
  bool ReadOnly() const { return (Attributes & EFI_FILE_READ_ONLY) != 0; }
  // Still reachable from its volume's root (not deleted).
  bool Attached() const;
  Node *Find(const std::u16string &ChildName) const;
  std::shared_ptr<Node> AddChild(const std::u16string &ChildName, bool IsDirectory, uint64_t Attrs);
  void RemoveChild(const Node *Child);
  // Path from the root, '\' separated, with the leading '\'; "\" for the root.
  std::string Path() const;
  // Commits the cache; true when something reached the node's medium.
  bool Commit();
  void DropCache();
  // A copy of the medium content of this subtree, caches left behind.
  std::shared_ptr<Node> MediumCopy() const;
};

bool NamesEqual(const std::u16string &A, const std::u16string &B);
// Splits a path on '\' (and, for the host-side helpers, '/').
std::vector<std::u16string> SplitPath(const std::u16string &Path, bool AcceptSlash);

// Restores a volume's content from a MediumCopy() of its root. The root node
// itself stays, so handles on it remain usable.
void RestoreVolume(Volume &V, const Volume::Node &Snapshot);

// ---------------------------------------------------------------- handles

// What an EFI_HANDLE points to.
struct HandleRecord {
  std::string Name;                                    // for messages
  std::vector<std::pair<EFI_GUID, VOID *>> Protocols;  // in installation order

  bool Has(const EFI_GUID &Guid) const;
  VOID *Find(const EFI_GUID &Guid) const;  // null when absent (or installed as null)
  void Install(const EFI_GUID &Guid, VOID *Interface);
  void Uninstall(const EFI_GUID &Guid);
};

// What an EFI_FILE_PROTOCOL pointer handed to the application points to.
struct FileHandle {
  EFI_FILE_PROTOCOL Proto;  // first, so the protocol pointer is the handle
  Volume *Vol = nullptr;
  std::shared_ptr<Volume::Node> Node;
  bool Writable = false;
  bool Open = true;
  bool ByShell = false;   // given out by the Shell's OpenFileByName
  uint64_t Position = 0;  // byte offset for files, entry index for directories
};

struct VolumeDevice {
  explicit VolumeDevice(std::string Label) : Vol(std::move(Label)) {}
  Volume Vol;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL FileSystem{};
  std::vector<uint8_t> DevicePath;
  HandleRecord *Handle = nullptr;
};

// Laid-out SMBIOS structure; each in its own exact-size block so that a
// reader running past its end is caught by the address sanitizer.
struct SmbiosStructure {
  uint16_t Handle = 0;
  size_t Size = 0;
  std::unique_ptr<uint8_t[]> Bytes;
};

// Command-line strings handed out through Shell Parameters, rebuilt for each
// launch in exact-size blocks.
struct ArgvBlock {
  std::vector<std::unique_ptr<CHAR16[]>> Strings;
  std::unique_ptr<CHAR16 *[]> Pointers;
  void Build(const std::vector<std::u16string> &Argv);
};

using VariableKey = std::pair<std::u16string, EFI_GUID>;
struct VariableKeyLess {
  bool operator()(const VariableKey &A, const VariableKey &B) const {
    if (A.first != B.first) {
      return A.first < B.first;
    }
    return GuidLess(A.second, B.second);
  }
};
using VariableStore = std::map<VariableKey, Variable, VariableKeyLess>;

struct Firmware::Impl {
  explicit Impl(Firmware &Owner);

  Firmware &Owner;

  // Tables.
  EFI_SYSTEM_TABLE SystemTable{};
  EFI_BOOT_SERVICES BootServices{};
  EFI_RUNTIME_SERVICES RuntimeServices{};
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL ConIn{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL ConOut{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL StdErr{};
  TextOutputMode OutMode{1, 0, 7, 0, 0, TRUE};
  uint64_t KeyEvent = 0;  // ConIn.WaitForKey points here
  std::u16string FirmwareVendor = u"Simulated Firmware";

  // Handle database, in creation order.
  std::vector<std::unique_ptr<HandleRecord>> Handles;
  HandleRecord *ShellImage = nullptr;
  HandleRecord *AppImage = nullptr;
  HandleRecord *ShellHandle = nullptr;
  std::vector<HandleRecord *> SmbiosHandles;
  std::vector<HandleRecord *> VendorHandles;
  HandleRecord *NewHandle(std::string Name);
  void RemoveHandle(HandleRecord *H);
  HandleRecord *FindHandle(EFI_HANDLE H) const;

  // Images and the Shell.
  EFI_LOADED_IMAGE_PROTOCOL AppLoadedImage{};
  EFI_LOADED_IMAGE_PROTOCOL ShellLoadedImage{};
  std::vector<uint8_t> AppFilePath, ShellFilePath;
  std::u16string LoadOptions;
  std::vector<std::u16string> Argv{u"Tamsork.efi", u"bios.bin"};
  std::vector<std::u16string> ShellArgv{u"\\EFI\\BOOT\\BOOTX64.EFI"};
  ArgvBlock AppArgv, ShellOwnArgv;
  EFI_SHELL_PARAMETERS_PROTOCOL AppParameters{};
  EFI_SHELL_PARAMETERS_PROTOCOL ShellParameters{};
  int ShellParameterInstances = 2;
  EFI_SHELL_PROTOCOL Shell{};
  void RefreshShellParameters();
  // Shells started inside the root Shell, each with its own image handle
  // and command line, between the root Shell's handle and the application's.
  struct NestedShell {
    HandleRecord *Image = nullptr;
    ArgvBlock Words;
    EFI_SHELL_PARAMETERS_PROTOCOL Parameters{};
  };
  std::vector<std::unique_ptr<NestedShell>> NestedShells;
  // A careless Shell's parameters for the application (SetOddShellParameters).
  bool OddParameters = false;
  bool OddNoArgv = false;
  size_t OddArgc = 0;
  std::vector<size_t> OddNullWords;
  // The Shell's current directory and the strings it hands out; "" is none.
  std::u16string CurrentDirectory = u"FS0:";
  std::u16string CurDirReply, MapReply, EnvReply;
  // The mapping name of a volume ("FS0:", "FS1:"), and the volume of a name.
  std::u16string MappingOf(const VolumeDevice &D) const;
  VolumeDevice *VolumeOfMapping(const std::u16string &Name) const;
  // What the flash tool left for the next reboot to bring.
  std::optional<std::string> PendingBiosVersion;

  // Volumes.
  std::unique_ptr<VolumeDevice> Boot, Other;
  VolumeDevice *DeviceOf(const EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem) const;

  // Open file handles; closed ones are kept until the next launch so that a
  // call through a stale pointer still lands here and is reported.
  std::map<const EFI_FILE_PROTOCOL *, std::unique_ptr<FileHandle>> Files;
  size_t OpenFiles = 0;
  FileHandle *NewFileHandle(Volume &Vol, std::shared_ptr<Volume::Node> Node, bool Writable);
  // Opens Name from At (from the root with a leading '\\') as File Open
  // does, with its checks of mode, attributes, names and write protection.
  EFI_STATUS OpenPath(Volume &Vol, std::shared_ptr<Volume::Node> At, const std::u16string &Name, UINT64 OpenMode,
                      UINT64 Attributes, FileHandle **Opened);
  // The open handle This points to, or null after recording the misuse.
  FileHandle *LiveFile(const EFI_FILE_PROTOCOL *This, const char *Service);
  void CloseFile(FileHandle &F);
  // Closes F as File Close does: its cache written back first (a Failure
  // loses it), the close recorded.
  void ReleaseFile(FileHandle &F, EFI_STATUS Failure = EFI_SUCCESS);

  // Console. A key arrives (is in the buffer) once typed ahead, or when the
  // application waits for it.
  struct PendingKey {
    Key K;
    bool Arrived = false;
  };
  std::deque<PendingKey> Keys;
  size_t SpuriousWakesLeft = 0;
  std::u16string Out, Err;
  uint64_t EmptyWaits = 0;  // key waits and reads in a row that found no key
  static constexpr uint64_t kEmptyKeyWaitLimit = 100000;
  void NoteEmptyKeyWait();

  // Variables.
  VariableStore Variables;

  // SMBIOS.
  std::vector<SmbiosRecord> SmbiosTable;
  std::vector<SmbiosStructure> SmbiosLaidOut;
  std::vector<std::unique_ptr<EFI_SMBIOS_PROTOCOL>> SmbiosInstances;
  void LayOutSmbios();
  // At a reboot: what the flash tool wrote becomes the running BIOS.
  void BootFlashedBios();

  // Board.
  uint8_t ControlPort = 0;
  std::vector<std::unique_ptr<VendorControlProtocol>> VendorInstances;
  uint64_t VendorDummy = 0;

  // Records of the current launch.
  std::vector<Event> Events;
  uint64_t NextSeq = 1;
  std::vector<VendorRequestCall> VendorCalls;
  std::vector<ExecuteCall> Executions;
  bool ResetRequested = false;
  EFI_RESET_TYPE LastReset = EfiResetCold;
  std::vector<std::string> Misuses;
  // Appends E with the next sequence number, unless power is off. Returns
  // the sequence number given (0 when nothing was recorded).
  uint64_t Record(Event E);
  void Misuse(std::string What);
  bool Recording() const { return !PowerCut; }

  // Protocol opens, filed under their agents (see ForeignAgentOpens()).
  std::vector<ProtocolOpen> Opens;
  std::vector<ProtocolOpen> ForeignOpens;
  // At the end of a launch: the application's own opens are released, the
  // others listed.
  void ReleaseImageOpens();

  // Fault injection and power.
  std::map<std::pair<Service, uint64_t>, EFI_STATUS> ServiceFaults;
  std::map<uint64_t, EFI_STATUS> CallFaults;
  uint64_t Calls = 0;
  std::array<uint64_t, static_cast<size_t>(Service::Count)> ServiceCalls{};
  std::vector<Service> CallLog;
  std::optional<uint64_t> CutAt;
  bool PowerCut = false;
  std::shared_ptr<Volume::Node> BootSnapshot, OtherSnapshot;
  VariableStore VariableSnapshot;
  // Counts the call and applies the fault and power rules. A value means the
  // call must return it at once without doing anything.
  std::optional<EFI_STATUS> Gate(Service S);
  void TakePowerCutSnapshot();
  void RestorePowerCutSnapshot();

  // Pool.
  std::map<void *, size_t> Pool;
  size_t BadFrees = 0;
  void *PoolAllocate(size_t Size);  // null on exhaustion
  bool PoolFree(void *P);

  bool Launching = false;
  void ResetLaunchRecords();
  void RebootMachine();
};

// ---------------------------------------------------------------- poisoned outputs
//
// What a failing call leaves in its outputs when UnkindBehaviour's
// PoisonOutputs is on. Each writes only through a pointer the caller gave
// (null ones are passed over).
bool Poisoning();
template <class T>
void PoisonPointer(T **Out) {
  if (Out != nullptr && Poisoning()) {
    *Out = reinterpret_cast<T *>(static_cast<uintptr_t>(kPoisonPointer));
  }
}
inline void PoisonHandle(EFI_HANDLE *Out) {
  if (Out != nullptr && Poisoning()) {
    *Out = reinterpret_cast<EFI_HANDLE>(static_cast<uintptr_t>(kPoisonHandle));
  }
}
template <class T>
void PoisonValue(T *Out, T Value) {
  if (Out != nullptr && Poisoning()) {
    *Out = Value;
  }
}
// Size bytes at Buffer.
void PoisonBytes(VOID *Buffer, size_t Size);

// The state of the current machine; stops the process when there is none
// (the application called a service after its Firmware was destroyed).
Firmware::Impl &Machine();

// Table slots the simulator does not implement point to one of these: the
// call is reported as a misuse and answered with EFI_UNSUPPORTED. Slot names
// are template arguments so that each slot gets its own function.
template <size_t N>
struct SlotName {
  char Text[N];
  constexpr SlotName(const char (&S)[N]) {
    for (size_t I = 0; I < N; I++) {
      Text[I] = S[I];
    }
  }
};
void ReportNotImplemented(const char *Slot);
template <SlotName Name>
EFI_STATUS EFIAPI NotImplemented() {
  ReportNotImplemented(Name.Text);
  return EFI_UNSUPPORTED;
}
template <SlotName Name>
VOID *Stub() {
  return reinterpret_cast<VOID *>(&NotImplemented<Name>);
}

// Installs the service functions of each group into the tables.
void InstallBootServices(Firmware::Impl &M);
void InstallRuntimeServices(Firmware::Impl &M);
void InstallConsole(Firmware::Impl &M);
void InstallFileSystem(Firmware::Impl &M, VolumeDevice &Device);
EFI_SMBIOS_GET_NEXT SmbiosGetNextEntry();
VendorRequestFn VendorRequestEntry();
EFI_SHELL_EXECUTE ShellExecuteEntry();
void InstallShellServices(EFI_SHELL_PROTOCOL &Shell);
void InstallShellFileServices(EFI_SHELL_PROTOCOL &Shell);

// A file as the Shell names it: the volume and the names from its root,
// "." and ".." already walked.
struct ShellPath {
  VolumeDevice *Device = nullptr;
  std::vector<std::u16string> Parts;
  std::u16string Text() const;  // "\\dir\\file"; "\\" for the root
  // The node there now; null when there is none.
  Volume::Node *Find() const;
};
// Where the Shell finds Name: a name with a mapping ("FS1:\\x") on that
// volume, one starting with '\\' from the root of the current volume, any
// other from the current directory. nullopt when the mapping is unknown, or
// the name needs a current directory and there is none.
std::optional<ShellPath> ResolveShellName(const Firmware::Impl &M, const std::u16string &Name);
// The program the Shell runs for a command's first word; nullopt when it
// finds none (see Firmware::ProgramExtensions).
std::optional<ShellPath> FindProgram(const Firmware::Impl &M, const std::u16string &Name);
// The flash tool's run for Call, once Execute has found it.
void RunFlashTool(Firmware::Impl &M, ExecuteCall &Call);

// An EFI_FILE_INFO for N: its size, and filling Buffer (at least that big).
size_t FileInfoSize(const Volume::Node &N);
void FillFileInfo(const Volume::Node &N, VOID *Buffer);

// Bounded length of a NUL-terminated UCS-2 string from the application;
// nullopt when no terminator is found within Limit characters.
std::optional<size_t> BoundedLength(const CHAR16 *S, size_t Limit);
std::string GuidText(const EFI_GUID &G);

}  // namespace sim
