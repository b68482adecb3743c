// tamsork stick: a USB stick (a folder, or a FAT disk image to copy to
// a stick byte for byte) that holds Tamsork.efi, the BIOS image, the flash
// tool, optionally a UEFI Shell as the removable-media boot file, and a
// startup.nsh that finds the stick among the Shell's mappings and runs the
// update's command on every boot.
//
// Every check comes before anything is written: a refusal is one
// UsageError naming the file, and leaves the folder or image untouched.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamsork_sim {

// SHA-256 (FIPS 180-2) of Size bytes.
std::array<uint8_t, 32> Sha256(const uint8_t *Data, size_t Size);
// The same as 64 lower-case hex digits.
std::string Sha256Hex(std::string_view Bytes);

// Empty when Bytes are a PE32+ image for x86-64 with the EFI application
// subsystem; otherwise what is wrong with them, in words.
std::string EfiApplicationProblem(const std::vector<uint8_t> &Bytes);

// Empty when Name can be the image's file name in the root of a FAT stick
// and a word of startup.nsh as it is; otherwise why not, naming the
// character. Conservative: letters, digits and . _ - + ~ ( ) only.
std::string StickNameProblem(const std::string &Name);

// The names Tamsork and the firmware look for on the stick.
constexpr const char *kStickEfiName = "Tamsork.efi";
constexpr const char *kStickToolName = "H2OFFT-Sx64.efi";
constexpr const char *kStickScriptName = "startup.nsh";
constexpr const char *kStickStateName = "State.dat";
// The removable-media default boot file for x64, under the root.
constexpr const char *kStickShellPath[] = {"EFI", "BOOT", "BOOTX64.EFI"};

// "Tamsork.efi bios.bin -b -d": the command each boot runs.
std::string StickCommand(const std::string &ImageName, bool Backup, bool SkipVersionCheck);

// The whole startup.nsh, CR LF line ends, for an image name that
// StickNameProblem accepts: it looks through FS0: to FS9: for the first
// mapping whose root holds the stick's mark file Mark, changes to that root
// and runs StickCommand there; with none, one echo line says so.
std::string StartupScript(const std::string &ImageName, const std::string &Mark, bool Backup, bool SkipVersionCheck);

struct StickOptions {
  std::optional<std::string> Dir;        // a folder or a mounted stick
  std::optional<std::string> DiskImage;  // or a FAT disk image to write
  std::string Image;
  std::string Tool;
  std::optional<std::string> Efi;  // default: DefaultEfiPath()
  std::optional<std::string> Shell;
  bool Backup = false;
  bool SkipVersionCheck = false;
  bool Force = false;
};

// The Tamsork.efi a stick gets without --efi. The program its build tree
// made takes the one `make efi` built in the same source tree; an installed
// program the one installed with it, ../share/tamsork/Tamsork.efi from the
// folder it runs from (bin/). "" when neither can be told.
std::string DefaultEfiPath();

// One file the stick holds: its path from the root, parts separated.
struct StickFile {
  std::vector<std::string> Path;
  std::vector<uint8_t> Bytes;
};

// What a stick will hold, once every check has passed.
struct StickPlan {
  std::string ImageName;
  std::string Version;  // the image's version, "1.06"
  std::string Command;
  std::string Mark;  // the mark file's name, new for each stick made
  std::vector<StickFile> Files;
  bool RemovesState = false;  // --force on a folder that holds State.dat
  std::vector<std::string> Unlinked;  // links at the stick's names, replaced by the files
  bool NotFatRoot = false;    // the folder is not the root of a FAT file system
  bool KeepsLog = false;      // the folder already holds Tamsork.log
};

// Reads and checks every input; UsageError on the first refusal.
StickPlan PlanStick(const StickOptions &Options);
// Writes the plan to the folder or the disk image and returns what the
// stick now holds and what the technician does next, as text.
std::string WriteStick(const StickOptions &Options, const StickPlan &Plan);

// The disk image's layout: an MBR with one FAT32 partition (type 0x0C)
// from 1 MiB on, at least 64 MiB in all.
constexpr uint64_t kDiskPartitionOffset = 1ull << 20;

}  // namespace tamsork_sim
