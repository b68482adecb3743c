// The simulated firmware: a stateful stand-in for the UEFI firmware, Shell
// and board that Tamsork runs on, for host tests and host tools.
//
// It behaves as firmware does (two-call sizing, handles valid until closed,
// a FAT-like volume with a write-back cache) rather than replaying expected
// calls. One Firmware object is one machine: its volumes, variables, SMBIOS
// table and board persist across launches; console text and the per-launch
// records start afresh at every Launch().
//
// The firmware services are plain EFIAPI functions without a context
// argument, so exactly one Firmware may exist at a time; it registers itself
// on construction.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/Uefi.h"

namespace sim {

// Every firmware entry point the application can reach. Fault injection and
// call counting use these names.
enum class Service : uint8_t {
  AllocatePool,
  FreePool,
  WaitForEvent,
  HandleProtocol,
  LocateDevicePath,
  OpenProtocol,
  LocateHandleBuffer,
  GetVariable,
  SetVariable,
  ResetSystem,
  ReadKeyStroke,
  OutputString,
  OpenVolume,
  FileOpen,
  FileClose,
  FileDelete,
  FileRead,
  FileWrite,
  FileGetPosition,
  FileSetPosition,
  FileGetInfo,
  FileSetInfo,
  FileFlush,
  SmbiosGetNext,
  ShellExecute,
  VendorRequest,
  IoRead8,
  IoWrite8,
  InstallProtocolInterface,
  InputReset,  // ConIn->Reset: accepted, keeps the queued keys
  CalculateCrc32,
  ShellOpenFileByName,
  ShellGetFileInfo,  // fails by returning NULL
  ShellCloseFile,
  GetTime,
  CloseProtocol,
  Count
};
const char *ServiceName(Service S);

// One entry of the shared, ordered record of what reached the outside world.
struct Event {
  enum class Kind : uint8_t {
    FileCreate,   // a file came into being (Path)
    FileWrite,    // bytes handed to Write, still in the cache (Path, Offset, Bytes)
    FileCommit,   // the cache of Path reached the medium (by Flush or Close)
    FileClose,    // a file handle on Path was closed
    FileDelete,   // Path was removed from the medium
    PortRead,     // Port, Value read
    PortWrite,    // Port, Value written
    Reset,        // ResetSystem (ResetType in Value)
    Execute,      // Shell Execute(CommandLine)
    VendorRequest,// VENDOR_CONTROL_PROTOCOL Request (Handle index in Value)
    SetVariable,  // a variable was set or deleted (Name in Text, data in Bytes)
  };
  uint64_t Seq = 0;
  Kind What{};
  std::string Path;  // file events: from the volume root, like "\dir\file"
  uint64_t Offset = 0;
  std::vector<uint8_t> Bytes;
  uint16_t Port = 0;
  uint8_t Value = 0;
  std::string Text;  // command line, variable name (UTF-8)
  std::string VolumeLabel;  // file events: the Label() of the volume
};
const char *EventKindName(Event::Kind K);

struct Key {
  uint16_t ScanCode = 0;
  char16_t UnicodeChar = 0;
};
inline Key CharKey(char16_t C) { return {0, C}; }
inline Key EnterKey() { return {0, u'\r'}; }
inline Key ScanKey(uint16_t Scan) { return {Scan, 0}; }

// An SMBIOS structure as firmware hands it out: a 4-byte header (type,
// length, handle), the formatted bytes after it, then the string area.
struct SmbiosRecord {
  uint8_t Type = 0;
  std::vector<uint8_t> Formatted;  // bytes from offset 4 of the structure on
  std::vector<std::string> Strings;
  // When set, the string area is exactly these bytes (for malformed tables
  // or fuzzing); otherwise it is built from Strings with the closing NULs.
  std::optional<std::vector<uint8_t>> RawStringArea;
};
// Builders for the three records Tamsork reads.
SmbiosRecord BiosInformation(const std::string &Version);  // type 0, version string #2
// Type 1: product string #2, serial string #4 at offset 7 (an empty serial
// is no string: number 0, as boards that leave it unset have it), UUID at
// offset 8 (all 00 or all FF on boards that leave it unset).
inline constexpr std::array<uint8_t, 16> kSimulatedSystemUuid = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                                                  0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
SmbiosRecord SystemInformation(const std::string &ProductName, const std::string &SerialNumber = "SN000001",
                               const std::array<uint8_t, 16> &Uuid = kSimulatedSystemUuid);
SmbiosRecord ProcessorInformation(uint32_t Signature);  // type 4, Processor ID at offset 8

struct Variable {
  uint32_t Attributes = 0;
  std::vector<uint8_t> Data;
};

struct VendorRequestCall {
  size_t HandleIndex = 0;  // which installed instance was called (their count: none of them)
  uint64_t Seq = 0;
  void *This = nullptr;
  uint64_t Arg2 = 0, Arg3 = 0, Arg4 = 0;
  uint32_t Arg5 = 0;
  void *Buffer = nullptr;
  uint32_t BufferSize = 0;
  uint64_t *Result = nullptr;
};

struct ExecuteCall {
  uint64_t Seq = 0;
  EFI_HANDLE *ParentImageHandle = nullptr;
  EFI_HANDLE Parent = nullptr;  // *ParentImageHandle at the time of the call
  std::u16string CommandLine;
  bool EnvironmentGiven = false;
  bool StatusCodeGiven = false;
  // The words the started program receives, as the Shell reads the command
  // line (ReadShellCommandLine), Argv[0] first.
  std::vector<std::u16string> Argv;
  // Where the program finds the file its Argv[1] names, resolved against the
  // Shell's current directory: the volume's Label() and the path from its
  // root ("\sub\bios.bin"); empty when the name cannot be resolved.
  std::string ArgumentVolume;
  std::string ArgumentPath;
  // Where the Shell found the program Argv[0] names (the rule is at
  // Firmware::ProgramExtensions): the volume's Label() and the path from its root, as
  // the volume spells it; both empty when it found none and ran nothing.
  std::string ProgramVolume;
  std::string ProgramPath;
  // What the flash tool did, when the program was the flash tool.
  enum class Tool : uint8_t {
    NotRun,      // the program is another one (or none was run)
    NotFound,    // Argv[0] names the flash tool, but the Shell found no such program
    Flashed,     // FlashedVersion is the BIOS Version from the next Reboot() on
    DidNothing,  // the tool ran and changed nothing (FlashToolBehaviour::DoesNothing)
    NoImage,     // no file where Argv[1] resolves, or none given: nothing changed
    NoMarker,    // the image has no version marker: nothing changed
  };
  Tool FlashTool = Tool::NotRun;
  std::string FlashedVersion;  // "V1.06" when Flashed
};

// The flash tool's file name, and where a new machine holds it: the boot
// volume's root, beside Tamsork.efi.
inline constexpr const char *kFlashToolName = "H2OFFT-Sx64.efi";
// What the flash tool does when Execute finds and runs it (by its file name,
// in any case). Flashes: it reads the file its Argv[1] names, as the volume
// holds it at that moment, and from the next Reboot() on SMBIOS type 0's
// BIOS Version is "V<major>.<minor, two digits>" from the image's version
// marker; an image without a marker, or no file, changes nothing.
// DoesNothing: it runs and nothing changes.
enum class FlashToolBehaviour : uint8_t { Flashes, DoesNothing };

// How a program started by Execute receives its command line, as OVMF's
// Shell does it. A reading splits words at blanks outside double quotes,
// takes the character after a '^' as it is and removes quotes. Before the
// last reading the line is processed as a typed command: a '#' ends it
// unless escaped (inside quotes too; the '#' takes its '^'), %name% is
// replaced by the variable's value or by nothing (inside quotes too), and
// an unquoted '|' or a word starting with '<' or '>' ends the command.
// Unless the variable nonesting is True, a nested Shell runs the command:
// it reads the line once into its own words and joins them again, quoting
// those that hold a blank, before the line is processed and read.
std::vector<std::u16string> ReadShellCommandLine(const std::u16string &Line,
                                                 const std::map<std::u16string, std::u16string> &Variables);

// A FAT-like volume. Paths are from the root, with '\' separators, matched
// without regard to case; in the helpers below a leading '\' is optional and
// '/' is accepted too. Each file has what the medium holds and what the
// driver's write-back cache holds; Write changes only the cache, Flush and
// Close commit it, and Reboot() or a power cut drops it. Creating a file or
// directory, deleting one and changing attributes reach the medium at once
// (they are directory entries). The Label names the volume in file events.
class Volume {
 public:
  explicit Volume(std::string Label);
  ~Volume();

  const std::string &Label() const { return Label_; }
  void PutFile(const std::string &Path, const std::vector<uint8_t> &Bytes, bool ReadOnly = false);
  void PutFile(const std::string &Path, const std::string &Bytes, bool ReadOnly = false);
  void MakeDirectory(const std::string &Path);
  void RemoveFile(const std::string &Path);
  void SetReadOnly(const std::string &Path, bool ReadOnly);
  bool Exists(const std::string &Path) const;
  // What the medium holds (survives a reset); nullopt when there is no file.
  std::optional<std::vector<uint8_t>> MediumFile(const std::string &Path) const;
  // What a reader sees now, cache included.
  std::optional<std::vector<uint8_t>> CurrentFile(const std::string &Path) const;
  // Drops every unflushed change, as a reset or power loss does.
  void DropCache();
  // A write-protected medium: opening for writing or creating is refused
  // with EFI_WRITE_PROTECTED, as a FAT driver does on a locked stick.
  void SetWriteProtected(bool Protected);
  bool WriteProtected() const { return WriteProtected_; }
  // A medium that takes writes into the driver's cache but refuses to
  // write them back (a device error, a full volume): Flush reports Status,
  // and the cached bytes are lost, by Flush or by Close (which still
  // reports EFI_SUCCESS, as Close always does). EFI_SUCCESS: a sound medium.
  void RefuseWriteBack(EFI_STATUS Status);
  EFI_STATUS WriteBackStatus() const { return WriteBack_; }

  struct Node;  // implementation detail
  Node *Root() const { return Root_.get(); }

 private:
  std::string Label_;
  bool WriteProtected_ = false;
  EFI_STATUS WriteBack_ = EFI_SUCCESS;
  // Shared so that a file handle keeps its node alive after the entry is
  // deleted or the volume is restored from a power-cut snapshot.
  std::shared_ptr<Node> Root_;
};

// Behaviours that the UEFI specification and the Shell allow and that kind
// firmware does not show, each switched on its own. A new Firmware poisons
// the outputs of failing calls and is kind otherwise; the sweeps turn
// everything on (All()).
struct UnkindBehaviour {
  // A call that fails writes poison into every output it has: pointers and
  // handles that fault when used (non-canonical addresses), sizes and
  // counts of 0xBAD0BAD0BAD0, keys with scan code 0x7777 and character
  // 0xBAD, output buffers filled with 0xBD, a file's position moved to
  // 0xBAD0BAD0BAD0 by a failed Read, Write or SetPosition, a status code of
  // kPoisonStatus. The outputs a failure defines are kept: the size that
  // EFI_BUFFER_TOO_SMALL gives (and GetVariable's attributes with it), and
  // the 0xFFFE handle SMBIOS GetNext gives at the end of the table.
  bool PoisonOutputs = false;
  // File Read of a file gives at most half of the bytes asked for (rounded
  // up, so at least one) before the end of the file, as a driver may that
  // stops at a cluster or transfer boundary.
  bool ShortReads = false;
  // File Read of a file asking for more bytes than this fails with
  // EFI_DEVICE_ERROR, as some USB mass-storage stacks fail one transfer of
  // many megabytes; 0: no limit.
  uint64_t MaxReadSize = 0;
  // Execute behaves as EDK II's Shell with nesting on (the Shell variable
  // nonesting not True): the command runs in a nested Shell, so Execute
  // returns EFI_SUCCESS once that Shell has run, and what the command did,
  // a program not found included, comes only through *StatusCode. A fault
  // injected into Execute is a nested Shell that could not be started.
  bool NestedExecute = false;
  // OpenProtocol refuses with EFI_INVALID_PARAMETER an agent that is not an
  // image handle (a handle carrying the Loaded Image protocol).
  bool StrictAgents = false;
  // The Nth File Read of a launch (1-based; 0: none) reads what it can but
  // claims one byte more than it was asked for, as a faulty driver may:
  // beyond what the UEFI specification allows, so All() leaves it off.
  uint64_t OverstatedRead = 0;

  // Everything on, reads refused above 1 MiB.
  static constexpr UnkindBehaviour All() { return {true, true, uint64_t{1} << 20, true, true}; }
};
// The StatusCode a nested OVMF Shell hands back for a program it cannot
// find (measured; the only one seen with the error bit set).
inline constexpr uint64_t kNestedNotFoundStatus = 0x8000000400030000ULL;
// What poisoned outputs hold (see UnkindBehaviour::PoisonOutputs).
inline constexpr uint64_t kPoisonPointer = 0xDEADBEEF0BAD0000ULL;  // non-canonical: any access faults
inline constexpr uint64_t kPoisonHandle = 0xDEADBEEF0BAD0048ULL;
inline constexpr uint64_t kPoisonSize = 0xBAD0BAD0BAD0ULL;
inline constexpr uint8_t kPoisonByte = 0xBD;
inline constexpr uint16_t kPoisonScanCode = 0x7777;
inline constexpr char16_t kPoisonChar = 0xBAD;
// Neither success nor an error: code that tests only EFI_ERROR() takes it
// for a success, code that compares with EFI_SUCCESS does not.
inline constexpr uint64_t kPoisonStatus = 0x0BAD0BADULL;

// One OpenProtocol that succeeded and was not closed, as the firmware files
// it: under its agent.
struct ProtocolOpen {
  EFI_HANDLE Handle = nullptr;
  EFI_GUID Protocol{};
  EFI_HANDLE Agent = nullptr;
  EFI_HANDLE Controller = nullptr;
  uint32_t Attributes = 0;
  std::string Text;  // "GET_PROTOCOL of <guid> on <handle> by <agent>"
};

class Firmware {
 public:
  Firmware();
  ~Firmware();
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;

  static Firmware *Current();

  // ---- the machine
  EFI_SYSTEM_TABLE *SystemTable();
  EFI_HANDLE ImageHandle();        // the application's image
  EFI_HANDLE ShellImageHandle();   // the Shell's own image
  Volume &BootVolume();            // holds Tamsork.efi and kFlashToolName in its root; the Loaded Image's device
  Volume &OtherVolume();           // a second volume, the Shell's current one
  const Volume &BootVolume() const;
  const Volume &OtherVolume() const;
  EFI_HANDLE BootVolumeHandle();
  EFI_HANDLE OtherVolumeHandle();

  // Command line as the Shell would pass it, Argv[0] first. The Shell's own
  // Shell Parameters instance is installed first, the application's second.
  void SetCommandLine(const std::vector<std::u16string> &Argv);
  // 0: no Shell Parameters instance at all; 1: only the Shell's own; 2
  // (default): the Shell's and the application's.
  void SetShellParameterInstances(int Count);
  // Shells started one inside the other between the root Shell and the
  // application (default 0). Each has its own image handle and Shell
  // Parameters instance, listed in install order: root Shell, nested
  // Shells, then the application.
  void SetNestedShells(int Count);
  // The application's Shell Parameters as a careless Shell could hand them
  // over: no Argv array, a count that is not the number of words, or some
  // words NULL. Undone by the next SetCommandLine().
  void SetOddShellParameters(bool NoArgv, size_t Argc, const std::vector<size_t> &NullWords);

  // ---- the Shell's view of the volumes
  // The Shell's mapping names: the boot volume is "FS0:", the other "FS1:"
  // (GetMapFromDevicePath adds their block device names after a ';'). The
  // current directory as GetCurDir gives it ("FS0:\\sub"; "FS0:" for a root);
  // empty: none set, as in a startup.nsh that never changed to a volume.
  // Default "FS0:". SetCurDir changes it too.
  void SetCurrentDirectory(const std::u16string &Directory);
  std::u16string CurrentDirectory() const;
  // Shell variables: what %name% expands to in an Execute command line, and
  // what GetEnv gives. None by default (no path either).
  std::map<std::u16string, std::u16string> ShellVariables;
  // The Shell's OpenFileByName takes the names Execute resolves (a mapping
  // "FS1:\\x", "\\x" from the current volume's root, "x" from the current
  // directory; any case; "." and ".." walked) and opens them as File Open
  // does; a directory opens too. Its handles count in OpenFileHandles();
  // GetFileInfo's result is a pool block the caller frees; CloseFile or
  // GetFileInfo of a handle the Shell did not give out is a misuse.

  // ---- console
  // Keys the user is going to type, each at the prompt that waits for it:
  // a queued key arrives when the application waits on the key event, so
  // ReadKeyStroke without a wait finds nothing. A key typed ahead is in the
  // buffer already. A spurious wake ends the next wait with no key
  // arrived. With no key queued, WaitForEvent returns at once and
  // ReadKeyStroke gives NoKeyStatus: by default EFI_DEVICE_ERROR, a keyboard
  // that has gone, so that a prompt nobody answers ends the launch as a
  // failed read; or EFI_NOT_READY for an idle keyboard (an application that
  // waits 100000 times in a row for nothing is then stopped with a message
  // rather than left to hang the test run).
  void QueueKey(Key K);
  void QueueKeys(const std::vector<Key> &Keys);
  void TypeAhead(Key K);
  void ClearKeys();  // no key queued or typed ahead any more
  void SpuriousWakes(size_t Count);
  EFI_STATUS NoKeyStatus = EFI_DEVICE_ERROR;
  size_t KeysLeft() const;
  std::string ConsoleText() const;  // UTF-8 of everything sent to ConOut this launch
  std::string StdErrText() const;

  // ---- variables
  void PutVariable(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes,
                   const std::vector<uint8_t> &Data);
  void RemoveVariable(const std::u16string &Name, const EFI_GUID &Guid);
  std::optional<Variable> GetVariableValue(const std::u16string &Name, const EFI_GUID &Guid) const;
  // Variables set without EFI_VARIABLE_NON_VOLATILE are lost at Reboot().

  // ---- SMBIOS
  // The table, handles numbered from 0 in this order. A new machine has
  // BiosInformation("1.00"), SystemInformation("Simulated Board") and
  // ProcessorInformation(0x000906EA).
  void SetSmbiosRecords(const std::vector<SmbiosRecord> &Records);
  std::vector<SmbiosRecord> SmbiosRecords() const;
  // Number of handles carrying the SMBIOS protocol (default 1; 0 removes it).
  void SetSmbiosInstances(int Count);
  // The BIOS Version a flash has left for the next Reboot() to bring;
  // nullopt when nothing was flashed since the last one.
  std::optional<std::string> PendingBiosVersion() const;

  // ---- clock
  // What GetTime gives: the time of day on the firmware clock. A new
  // machine's clock reads 2026-12-08 09:14:02 with no time zone; each
  // Launch() moves it on by ClockStep seconds first, so that the launches
  // of an update have times of their own.
  EFI_TIME Clock{2026, 12, 8, 9, 14, 2, 0, 0, EFI_UNSPECIFIED_TIMEZONE, 0, 0};
  uint32_t ClockStep = 0;

  // ---- board
  void SetControlPort(uint8_t Value);  // what BOARD_CONTROL_PORT reads (default 0)
  uint8_t ControlPort() const;
  // Number of handles carrying VENDOR_CONTROL_PROTOCOL (default 1).
  void SetVendorControlInstances(int Count);
  EFI_STATUS VendorRequestStatus = EFI_SUCCESS;  // what Request returns
  // Whether the Shell protocol is installed (default yes), and what Execute
  // returns when it finds the program.
  void SetShellProtocolInstalled(bool Installed);
  EFI_STATUS ExecuteStatus = EFI_SUCCESS;
  // What the executed command itself returned. *StatusCode gets it, or the
  // load failure, without the error bit, as OVMF's Shell hands it back.
  EFI_STATUS ExecuteCommandStatus = EFI_SUCCESS;
  // Execute runs only a program the Shell finds: Argv[0] as a Shell name
  // (from the current directory, or as written with a mapping or a leading
  // '\'), then joined to each ';'-separated entry of the Shell variable
  // path, in order; regular files only, in any case. A program not found
  // runs nothing (see NestedExecute for what comes back). Each of these endings
  // appended to Argv[0] is tried the same way after the name as given has
  // not been found (say {u".nsh", u".efi"}). Whether OVMF's Shell does so is
  // not measured yet: none by default.
  std::vector<std::u16string> ProgramExtensions;
  // What the flash tool does when Execute runs it.
  FlashToolBehaviour FlashTool = FlashToolBehaviour::Flashes;

  // ---- records of the current launch
  const std::vector<Event> &Events() const;
  std::vector<Event> EventsOf(Event::Kind K) const;
  const std::vector<VendorRequestCall> &VendorRequests() const;
  const std::vector<ExecuteCall> &Executions() const;
  std::vector<std::pair<uint16_t, uint8_t>> PortWrites() const;
  std::vector<uint16_t> PortReads() const;
  bool ResetRequested() const;          // ResetSystem was called this launch
  EFI_RESET_TYPE LastResetType() const;
  // Calls the simulator refused or could only partly honour because the
  // caller broke the rules: a closed or unknown file handle, a foreign
  // pointer, a table slot the simulator does not implement. One readable
  // line each; cleared at Launch().
  const std::vector<std::string> &Misuses() const;

  // ---- unkind firmware
  // Behaviours the specification allows (see UnkindBehaviour): on a new
  // machine, failing calls poison their outputs, and nothing else is unkind.
  UnkindBehaviour Unkind{.PoisonOutputs = true};

  // ---- opens by agent
  // OpenProtocol files each open under its agent; CloseProtocol removes it.
  // When the application exits, the opens its image handle made are
  // released, as firmware releases an image's opens when it exits. What is
  // left at the end of a launch, under any other agent (the protocol's own
  // handle, the Shell's image, a handle that is no image), stays open in
  // the firmware: those opens are listed here, for the last launch.
  const std::vector<ProtocolOpen> &ForeignAgentOpens() const;

  // ---- fault injection
  // Make the Nth call (1-based, counted from the start of the launch) of
  // Service S fail with Status. Allocations fail with EFI_OUT_OF_RESOURCES
  // whatever Status says; a failed port read gives 0xFF and a failed port
  // write is lost. The outputs of a failed call are poisoned, or left as
  // they were (allocations: NULL) when Unkind.PoisonOutputs is off. A
  // failed call does nothing else: a failed FreePool leaves the block
  // allocated (it shows as a leak). Fault rules stay in force for every
  // launch until ClearFaults().
  void FailNth(Service S, uint64_t Nth, EFI_STATUS Status);
  // Make the Nth firmware call of the launch, whatever its service, fail.
  void FailCallNumber(uint64_t Nth, EFI_STATUS Status);
  void ClearFaults();
  uint64_t CallCount() const;           // firmware calls made this launch
  uint64_t CallCount(Service S) const;
  Service CallService(uint64_t Nth) const;  // service of the Nth call this launch

  // Power cut: when the launch reaches firmware call number Nth, the machine
  // loses power before that call takes effect. The volumes and variables are
  // frozen as the medium held them at that moment (caches lost); the call and
  // everything after it in the launch still run but change nothing that
  // persists and record nothing (console output included). The request
  // applies to the next Launch() only.
  void CutPowerAtCall(uint64_t Nth);
  bool PowerWasCut() const;

  // ---- accounting
  size_t LivePoolBlocks() const;   // blocks allocated and not freed (Reboot() frees them)
  // File handles not yet closed, the Shell's (OpenFileByName) included;
  // Reboot() closes them.
  size_t OpenFileHandles() const;
  size_t BadFrees() const;  // FreePool of a pointer the pool never gave out, this launch

  // ---- running
  // One launch of the application from the Shell: clears the per-launch
  // records and counters, then calls the kit's entry glue with the image
  // handle and system table. Returns the exit status.
  EFI_STATUS Launch();
  // The same with another entry point in place of the kit's glue, for tests
  // of the simulator itself and for tools.
  using EntryPoint = EFI_STATUS(EFIAPI *)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
  EFI_STATUS Launch(EntryPoint Entry);
  // Restart the machine: unflushed caches and volatile variables are lost,
  // open file handles are gone and leaked pool memory is reclaimed.
  void Reboot();

  // The machinery, shared with the service implementations.
  struct Impl;
  Impl &State() { return *Impl_; }

 private:
  std::unique_ptr<Impl> Impl_;
};

// GUIDs the simulated firmware installs, for tests that build their own. A
// new machine has this variable: non-volatile, boot and runtime access, one
// byte 0.
extern const EFI_GUID kMemoryOverwriteRequestControlGuid;
extern const char16_t kMemoryOverwriteRequestControlName[];

std::string ToUtf8(const std::u16string &S);
// Appends code point C to Out as UTF-8.
void AppendUtf8(std::string &Out, uint32_t C);
std::u16string FromUtf8(const std::string &S);

}  // namespace sim
