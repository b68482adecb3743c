// Tamsork on a simulated machine: the update run launch after launch, and
// the inspection of an image's version marker and of the version gate.
//
// Only one simulated machine exists at a time (the firmware services have no
// context argument), so these functions must not run concurrently.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/tamsork-sim/Options.h"

namespace tamsork_sim {

// Launches a run makes when --launches is not given; an update that has not
// ended by then is going round in circles.
constexpr int kDefaultLaunchLimit = 16;

// The machine and the command line of a run.
struct MachineSpec {
  std::string ImagePath;               // on the host, as given
  std::string ImageName;               // base name on the boot volume; the application's Argv[1]
  std::vector<uint8_t> Image;          // the image's bytes
  bool Backup = false;                 // -b
  bool SkipVersionCheck = false;       // -d
  std::string BiosVersion = "V1.05";   // SMBIOS type 0, BIOS Version
  std::string Product = "KVX4720";     // SMBIOS type 1, Product Name
  uint32_t CpuSignature = 0x000806E9;  // SMBIOS type 4, first half of Processor ID
  std::optional<uint8_t> Mor;          // MemoryOverwriteRequestControl; none: no variable
  uint8_t ControlPort = 0;             // what the board's control port reads
  std::vector<KeyPress> Keys;          // typed at the prompts, in order
  FileBytes State;                     // State.dat at the start
  bool ReadOnlyState = false;          // State.dat marked read-only
  bool ReadOnlyStick = false;          // the boot volume is write-protected
  std::string CurrentDirectory = "FS0:\\";  // the Shell's, as GetCurDir gives it; "" for none
  std::string Tool = "flashes";        // the flash tool: flashes, does-nothing, missing, or path (in \EFI\Tools\)
  std::string Serial = "SN000001";     // SMBIOS type 1 serial number of the machine
  // The stick is carried to the machine with this serial number before
  // launch Launch (and stays there).
  struct Move {
    int Launch = 0;
    std::string Serial;
  };
  std::vector<Move> Moves;
  int Launches = 0;                    // 0: until the run stops, at most kDefaultLaunchLimit
};

// The application's command line for Spec, Argv[0] first.
std::vector<std::string> CommandLineOf(const MachineSpec &Spec);
// Word as it is typed at the Shell prompt so that the program receives it
// unchanged: as it is, or in double quotes with a '^' before each character
// the Shell would otherwise act on.
std::string ShellTyped(const std::string &Word);
// The file the application appends its record to, in the root of the stick.
constexpr const char *kLogFileName = "Tamsork.log";

// Where an image's version marker is and what it reads as.
struct MarkerInfo {
  uint64_t AnchorOffset = 0;
  uint64_t FieldOffset = 0;
  std::string Field;  // the field's 7 bytes
  uint64_t Major = 0;
  uint64_t Minor = 0;
};
std::optional<MarkerInfo> LocateMarker(const std::vector<uint8_t> &Image);
// "1.05": major, then the minor with at least two digits, as the
// application prints versions.
std::string VersionText(uint64_t Major, uint64_t Minor);
// The BIOS Version string a flashed image leaves in SMBIOS: "V1.05".
std::string BiosVersionString(uint64_t Major, uint64_t Minor);

struct PortTransfer {
  bool Write = false;
  uint16_t Port = 0;
  uint8_t Value = 0;
};

struct VendorRequest {
  uint64_t Command = 0;
  uint64_t SubCommand = 0;
  uint64_t Function = 0;
  uint32_t Argument = 0;
  uint32_t BufferSize = 0;
};

// One launch of the application and what reached the outside world.
struct LaunchRecord {
  int Number = 0;
  std::string BiosVersion;            // running when the launch starts
  std::string Machine;                // the serial number of the machine the stick is in
  FileBytes StateBefore, StateAfter;  // State.dat on the medium
  FileBytes MorBefore, MorAfter;      // the memory-overwrite variable's data
  std::string Console;
  // What the launch appended to the stick's Tamsork.log, line by line
  // without the CR LF (a torn last line as it is).
  std::vector<std::string> LogLines;
  std::vector<KeyPress> KeysRead;
  // The launch waits at a prompt for a key --keys no longer holds: the
  // record ends where a machine would sit waiting, and there is no exit.
  bool WaitingForKey = false;
  std::vector<PortTransfer> Ports;
  std::optional<std::string> Reset;        // "cold", "warm", ...
  std::vector<std::string> ShellCommands;  // the flash tool's command lines
  std::optional<std::string> FlashedTo;    // BIOS Version string after the simulated flash
  std::vector<VendorRequest> VendorRequests;
  std::optional<uint64_t> ExitStatus;
  std::string Restart;             // what restarts the machine after this launch; empty: nothing does
  std::vector<std::string> Notes;  // simulator findings: misuses, leaks, uncommitted state
};

struct StopReason {
  std::string Code;  // finished, refused, abandoned, waiting-for-board, waiting-for-key, ...
  std::string Text;
};

struct RunReport {
  std::vector<std::string> CommandLine;
  std::optional<MarkerInfo> Marker;
  std::vector<LaunchRecord> Launches;
  StopReason Stop;
  std::string FinalBiosVersion;
  FileBytes FinalState;
  FileBytes FinalMor;
  std::vector<KeyPress> KeysLeft;
};

// Runs the application launch after launch on one machine: the same boot
// volume, variables and SMBIOS table throughout.
//
// After a launch that asked for a reset, ran the flash tool or made the
// vendor request, the machine restarts (Reboot(): unflushed caches and
// volatile variables are lost) and the application is started again, as the
// Shell's startup script does after each boot. The flash tool is taken to
// flash the image its first argument names and restart the machine: from
// the next launch on, SMBIOS reports the image's version as "V<major>.<minor>".
//
// The run stops
// - after a launch that restarts nothing: the Shell prompt is back and
//   nothing starts the application again (finished, refused, abandoned,
//   waiting for the board's own tools, nothing to do);
// - at a prompt with no key left in Spec.Keys: a machine would sit there,
//   so the launch is recorded up to the wait and no further;
// - when a launch restarted the machine but changed nothing the next launch
//   reads (state file, memory-overwrite variable, BIOS version, keys): the
//   next launch would be the same one again, for ever;
// - after Spec.Launches launches, or kDefaultLaunchLimit when that is 0.
RunReport RunUpdate(const MachineSpec &Spec);

// The application's version gate against a running BIOS Version string.
struct GateResult {
  std::string BiosVersion;
  bool Readable = false;      // the application reads a version in the string
  uint64_t RunningMajor = 0;  // what it reads there
  uint64_t RunningMinor = 0;
  bool Allowed = false;
  std::string Message;  // what the gate printed before its prompt; empty when allowed
};

struct InspectReport {
  std::string ImagePath;
  uint64_t ImageSize = 0;
  std::optional<MarkerInfo> Marker;
  std::optional<GateResult> Gate;
};

InspectReport Inspect(const std::string &ImagePath, const std::vector<uint8_t> &Image,
                      const std::optional<std::string> &BiosVersion);

// "EFI_NOT_FOUND"; a code without a name in hex.
std::string StatusName(uint64_t Status);

}  // namespace tamsork_sim
