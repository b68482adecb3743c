#include "tools/tamsork-sim/Stick.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/checks/Sha256.h"
#include "app/state/UpdateState.h"
#include "tools/tamsork-sim/Options.h"
#include "tools/tamsork-sim/Simulation.h"

#ifndef TAMSORK_BUILD_EFI
#define TAMSORK_BUILD_EFI ""
#endif
#ifndef TAMSORK_BUILD_PROGRAM
#define TAMSORK_BUILD_PROGRAM ""
#endif

extern char **environ;

namespace tamsork_sim {

namespace fs = std::filesystem;

namespace {

// The program running, as the kernel names it; empty where it cannot say.
fs::path RunningProgram() {
  std::error_code Error;
  fs::path Self = fs::read_symlink("/proc/self/exe", Error);
  return Error ? fs::path() : Self;
}

// True when the running program is the one its build tree made (the same
// file, whatever the links in either path), not an installed copy.
bool RunsFromBuildTree() {
  std::error_code Error;
  const fs::path Self = RunningProgram();
  return !Self.empty() && *TAMSORK_BUILD_PROGRAM && fs::equivalent(Self, TAMSORK_BUILD_PROGRAM, Error);
}

}  // namespace

std::string DefaultEfiPath() {
  if (RunsFromBuildTree()) {
    return TAMSORK_BUILD_EFI;
  }
  const fs::path Self = RunningProgram();
  return Self.empty() ? "" : (Self.parent_path().parent_path() / "share" / "tamsork" / kStickEfiName).string();
}

// ---- SHA-256: the application's own ----

std::array<uint8_t, 32> Sha256(const uint8_t *Data, size_t Size) {
  std::array<uint8_t, 32> Digest{};
  ::Sha256(Data, Size, Digest.data());
  return Digest;
}

std::string Sha256Hex(std::string_view Bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string Out;
  for (uint8_t B : Sha256(reinterpret_cast<const uint8_t *>(Bytes.data()), Bytes.size())) {
    Out += kDigits[B >> 4];
    Out += kDigits[B & 15];
  }
  return Out;
}

// ---- Checks ----------------------------------------------------------------

namespace {

uint32_t ReadLe(const std::vector<uint8_t> &B, size_t At, int Bytes) {
  uint32_t V = 0;
  for (int I = Bytes - 1; I >= 0; I--) {
    V = V << 8 | B[At + static_cast<size_t>(I)];
  }
  return V;
}

// The PE header's fields this check reads, as offsets.
constexpr size_t kLfanewOffset = 0x3C;
constexpr size_t kCoffSize = 24;  // "PE\0\0" and the COFF file header
constexpr size_t kSubsystemOffset = 68;  // in the optional header, PE32 and PE32+ alike
constexpr uint32_t kMachineX64 = 0x8664;
constexpr uint32_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kEfiApplication = 10;

std::string SubsystemName(uint32_t Subsystem) {
  switch (Subsystem) {
    case 2: return " (a Windows GUI program)";
    case 3: return " (a Windows console program)";
    case 11: return " (an EFI boot service driver)";
    case 12: return " (an EFI runtime driver)";
    case 13: return " (an EFI ROM image)";
    default: return "";
  }
}

std::string Lower(std::string S) {
  for (char &C : S) {
    C = C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
  }
  return S;
}

}  // namespace

std::string EfiApplicationProblem(const std::vector<uint8_t> &B) {
  if (B.size() < kLfanewOffset + 4 || B[0] != 'M' || B[1] != 'Z') {
    return "not a PE image (no MZ header)";
  }
  const size_t Pe = ReadLe(B, kLfanewOffset, 4);
  if (Pe > B.size() || B.size() - Pe < kCoffSize + 2) {
    return "not a PE image (its PE header offset " + Hex(Pe, 1) + " lies outside the file)";
  }
  if (B[Pe] != 'P' || B[Pe + 1] != 'E' || B[Pe + 2] != 0 || B[Pe + 3] != 0) {
    return "not a PE image (no PE signature at " + Hex(Pe, 1) + ")";
  }
  const uint32_t Machine = ReadLe(B, Pe + 4, 2);
  if (Machine != kMachineX64) {
    return "built for machine " + Hex(Machine, 4) + ", not x86-64 (0x8664)";
  }
  const size_t Optional = Pe + kCoffSize;
  const uint32_t Magic = ReadLe(B, Optional, 2);
  if (Magic != kPe32PlusMagic) {
    return "optional header magic " + Hex(Magic, 3) + ", not PE32+ (0x20B)";
  }
  if (ReadLe(B, Pe + 20, 2) < kSubsystemOffset + 2 || B.size() - Optional < kSubsystemOffset + 2) {
    return "its optional header ends before the subsystem";
  }
  const uint32_t Subsystem = ReadLe(B, Optional + kSubsystemOffset, 2);
  if (Subsystem != kEfiApplication) {
    return "subsystem " + std::to_string(Subsystem) + SubsystemName(Subsystem) + ", not an EFI application (10)";
  }
  return "";
}

std::string StickNameProblem(const std::string &Name) {
  if (Name.empty()) {
    return "the file name is empty";
  }
  if (Name.size() > 248) {
    return "the file name has " + std::to_string(Name.size()) +
           " characters, more than 248 (with .sha256 it must fit FAT's 255)";
  }
  for (const char Raw : Name) {
    const auto C = static_cast<unsigned char>(Raw);
    const std::string Shown = "\"" + std::string(1, Raw) + "\"";
    if (C < 0x20 || C == 0x7F) {
      return "the file name holds the control character " + Hex(C, 2);
    }
    if (C >= 0x80) {
      return "the file name holds the byte " + Hex(C, 2) + ", not ASCII (startup.nsh is ASCII)";
    }
    if (C == ' ') {
      return "the file name holds a blank, which would split it into two words in startup.nsh";
    }
    if (std::strchr("\"*?<>|:\\/", C) != nullptr) {
      return "the file name holds " + Shown + ", which a FAT file name cannot hold";
    }
    if (std::strchr("%^#[]", C) != nullptr) {
      return "the file name holds " + Shown + ", which the Shell gives a meaning to in startup.nsh";
    }
    const bool Plain = (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
                       std::strchr("._-+~()", C) != nullptr;
    if (!Plain) {
      return "the file name holds " + Shown + "; a stick's image name takes only letters, digits and . _ - + ~ ( )";
    }
  }
  if (Name[0] == '-') {
    return "the file name begins with -, which Tamsork would read as a switch";
  }
  if (Name.back() == '.') {
    return "the file name ends with a dot, which FAT drops";
  }
  for (const char *Taken : {kStickEfiName, kStickToolName, kStickScriptName, kStickStateName, kLogFileName, "EFI"}) {
    if (Lower(Name) == Lower(Taken)) {
      return std::string("the stick's own ") + Taken + " has that name (FAT does not tell case apart)";
    }
  }
  return "";
}

// ---- The script --------------------------------------------------------------

std::string StickCommand(const std::string &ImageName, bool Backup, bool SkipVersionCheck) {
  return std::string(kStickEfiName) + " " + ImageName + (Backup ? " -b" : "") + (SkipVersionCheck ? " -d" : "");
}

// CR LF: the Shell reads either, and a stick's text files are read (and
// edited) on other systems too; Tamsork.log on the same stick has CR LF.
// The loop is left with goto on the first mapping that holds both files
// (leaving a for block is allowed, only jumping into one is not); two ifs
// instead of one with "and", which not every Shell takes after "exist".
std::string StartupScript(const std::string &ImageName, const std::string &Mark, bool Backup, bool SkipVersionCheck) {
  const std::string Lines[] = {
      "@echo -off",
      "# Made by tamsork stick: finds the stick that holds " + Mark + ", which no",
      "# other stick holds, changes to its root and runs the update's next step with",
      "# " + ImageName + ". Runs at every boot.",
      "for %a run (0 9)",
      "  if exist fs%a:\\" + Mark + " then",
      "    fs%a:",
      "    cd \\",
      "    goto tamsork",
      "  endif",
      "endfor",
      "echo \"No stick with " + Mark + " was found on FS0: to FS9:\"",
      "goto end",
      ":tamsork",
      StickCommand(ImageName, Backup, SkipVersionCheck),
      ":end",
  };
  std::string Out;
  for (const std::string &L : Lines) {
    Out += L + "\r\n";
  }
  return Out;
}

// What State.dat says of the update it records, as the refusal tells it.
std::string DescribeState(const std::vector<uint8_t> &Bytes) {
  if (Bytes.empty()) {
    return "State.dat is empty: an update was about to begin";
  }
  static const std::pair<char, const char *> kSteps[] = {
      {'1', "step 1, update mode requested"},     {'2', "step 2, the flash tool has run"},
      {'3', "step 3, flashing has finished"},     {'@', "backup step @, update mode requested"},
      {'G', "backup step G, waiting for its Y"},  {'A', "backup step A, ready for the flash tool"},
      {'B', "backup step B, in the board's own tools' hands"}};
  std::string Step = "a byte no update writes";
  for (const auto &[Byte, Text] : kSteps) {
    Step = Bytes[0] == Byte ? Text : Step;
  }
  UPDATE_RECORD Record;
  UINT32 Crc = 0;
  const bool Named = Bytes.size() > 1 && DecodeUpdateRecord(Bytes.data() + 1, Bytes.size() - 1, &Record, &Crc) &&
                     Record.Machine.SerialLength != 0;
  return "State.dat holds an update of " +
         (Named ? "machine " + std::string(Record.Machine.Serial, Record.Machine.SerialLength) : "a machine") +
         " at " + Step;
}

// ---- Planning ----------------------------------------------------------------

namespace {

// Path (below Root) as the folder already spells it, matching each part
// without regard to case as FAT does; parts not there yet as given.
fs::path Resolve(const fs::path &Root, const std::vector<std::string> &Parts) {
  fs::path At = Root;
  for (const std::string &Part : Parts) {
    fs::path Next = At / Part;
    std::error_code Error;
    if (fs::is_directory(At, Error)) {
      for (const fs::directory_entry &Entry : fs::directory_iterator(At, Error)) {
        if (Lower(Entry.path().filename().string()) == Lower(Part)) {
          Next = Entry.path();
          break;
        }
      }
    }
    At = Next;
  }
  return At;
}

std::string Joined(const std::vector<std::string> &Parts, const char *Separator) {
  std::string Out;
  for (const std::string &P : Parts) {
    Out += (Out.empty() ? "" : Separator) + P;
  }
  return Out;
}

std::vector<uint8_t> CheckedEfi(const std::string &Option, const std::string &Path) {
  std::vector<uint8_t> Bytes = ReadHostFile(Option + " " + Path, Path);
  const std::string Problem = EfiApplicationProblem(Bytes);
  if (!Problem.empty()) {
    throw UsageError(Option + " " + Path + ": " + Problem + "; it must be an x86-64 EFI application");
  }
  return Bytes;
}

}  // namespace

StickPlan PlanStick(const StickOptions &O) {
  if (O.Dir.has_value() == O.DiskImage.has_value()) {
    throw UsageError(O.Dir ? "stick: give DIR or --disk-image FILE, not both"
                           : "stick: give DIR (a folder or mounted stick) or --disk-image FILE");
  }
  StickPlan Plan;
  const std::vector<uint8_t> Image = ReadHostFile("--image " + O.Image, O.Image);
  Plan.ImageName = fs::path(O.Image).filename().string();
  const std::string NameProblem = StickNameProblem(Plan.ImageName);
  if (!NameProblem.empty()) {
    throw UsageError("--image " + O.Image + ": " + NameProblem);
  }
  const std::optional<MarkerInfo> Marker = LocateMarker(Image);
  // With -d Tamsork reads no version; without it, an image without one is
  // refused at the first start.
  if (!Marker && !O.SkipVersionCheck) {
    throw UsageError("--image " + O.Image +
                     ": no version marker (no \"$BVDT\" followed by a \"$.<letter><major>.<minor>\" field); "
                     "Tamsork would refuse it without -d");
  }
  Plan.Version = Marker ? VersionText(Marker->Major, Marker->Minor) : "none (no version marker)";

  std::string Efi = O.Efi.value_or(DefaultEfiPath());
  if (!O.Efi) {
    std::error_code Error;
    if (Efi.empty() || !fs::exists(Efi, Error)) {
      const std::string Where = Efi.empty() ? "" : " (" + Efi + ")";
      throw UsageError(RunsFromBuildTree()
                           ? "--efi: the Tamsork.efi built from this source tree" + Where +
                                 " is not there; run make efi or give --efi FILE"
                           : "--efi: the Tamsork.efi installed with this program" + Where +
                                 " is not there; reinstall tamsork or give --efi FILE");
    }
  }
  std::vector<uint8_t> EfiBytes = CheckedEfi("--efi", Efi);
  std::vector<uint8_t> ToolBytes = CheckedEfi("--tool", O.Tool);
  std::optional<std::vector<uint8_t>> ShellBytes;
  if (O.Shell) {
    ShellBytes = CheckedEfi("--shell", *O.Shell);
  }

  Plan.Command = StickCommand(Plan.ImageName, O.Backup, O.SkipVersionCheck);
  // The mark the script looks for: new for each stick made, so that another
  // stick with the same file names is never taken for this one.
  const std::string Digest = Sha256Hex({reinterpret_cast<const char *>(Image.data()), Image.size()});
  Plan.Mark = "TAMSORK-" +
              Sha256Hex(Digest + std::to_string(std::chrono::system_clock::now().time_since_epoch().count()))
                  .substr(0, 12) +
              ".MRK";
  const std::string Script = StartupScript(Plan.ImageName, Plan.Mark, O.Backup, O.SkipVersionCheck);
  Plan.Files.push_back({{kStickEfiName}, std::move(EfiBytes)});
  Plan.Files.push_back({{Plan.ImageName}, Image});
  // The image's digest in the form sha256sum writes and Tamsork checks.
  const std::string Sum = Digest + "  " + Plan.ImageName + "\n";
  const std::string MarkText = "This stick's startup.nsh runs the update on the stick that holds this file.\r\n";
  Plan.Files.push_back({{Plan.ImageName + ".sha256"}, {Sum.begin(), Sum.end()}});
  Plan.Files.push_back({{Plan.Mark}, {MarkText.begin(), MarkText.end()}});
  Plan.Files.push_back({{kStickToolName}, std::move(ToolBytes)});
  if (ShellBytes) {
    Plan.Files.push_back({{std::begin(kStickShellPath), std::end(kStickShellPath)}, std::move(*ShellBytes)});
  }
  Plan.Files.push_back({{kStickScriptName}, {Script.begin(), Script.end()}});

  if (O.DiskImage) {
    std::error_code Error;
    const fs::file_status Status = fs::status(*O.DiskImage, Error);
    if (fs::exists(Status) && !fs::is_regular_file(Status)) {
      throw UsageError("--disk-image " + *O.DiskImage +
                       ": not a regular file; write the image to a file, then copy it to the stick with dd");
    }
    if (fs::exists(Status) && !O.Force) {
      throw UsageError("--disk-image " + *O.DiskImage + ": the file is there already; name a new one, or pass --force "
                       "to replace it");
    }
    if (fs::absolute(*O.DiskImage).string().find("@@") != std::string::npos) {
      throw UsageError("--disk-image " + *O.DiskImage + ": a path holding @@ cannot be handed to mtools");
    }
    return Plan;
  }

  const fs::path Dir = *O.Dir;
  std::error_code Error;
  const fs::file_status DirStatus = fs::status(Dir, Error);
  if (!fs::exists(DirStatus)) {
    throw UsageError("DIR " + Dir.string() + ": no such folder; mount the stick there first (nothing is made)");
  }
  if (!fs::is_directory(DirStatus)) {
    throw UsageError("DIR " + Dir.string() + ": not a folder");
  }
  // A stick's root: a FAT file system mounted there.
  struct statfs Fs;
  struct stat Here, Up;
  Plan.NotFatRoot = !(::statfs(Dir.c_str(), &Fs) == 0 && Fs.f_type == 0x4d44 && ::stat(Dir.c_str(), &Here) == 0 &&
                      ::stat((Dir / "..").c_str(), &Up) == 0 && (Here.st_dev != Up.st_dev || Here.st_ino == Up.st_ino));
  const fs::path State = Resolve(Dir, {kStickStateName});
  if (fs::exists(fs::symlink_status(State, Error))) {
    if (!O.Force) {
      throw UsageError(State.string() + ": " + DescribeState(ReadHostFile("State.dat", State.string())) +
                       ": finish it there (start that machine from the stick until it is done), or delete State.dat "
                       "or pass --force to begin a new round");
    }
    Plan.RemovesState = true;
  }
  Plan.KeepsLog = fs::exists(Resolve(Dir, {kLogFileName}), Error);
  for (const StickFile &F : Plan.Files) {
    for (size_t Depth = 1; Depth <= F.Path.size(); Depth++) {
      const std::vector<std::string> Prefix(F.Path.begin(), F.Path.begin() + static_cast<std::ptrdiff_t>(Depth));
      const fs::path P = Resolve(Dir, Prefix);
      const fs::file_status S = fs::symlink_status(P, Error);
      const bool Last = Depth == F.Path.size();
      if (fs::is_symlink(S)) {
        if (!Last) {
          throw UsageError(P.string() + ": a link in the way of the stick's " + Joined(F.Path, "\\") +
                           "; the maker writes through no link");
        }
        Plan.Unlinked.push_back(P.string());
        continue;
      }
      if (fs::exists(S) && (Last ? !fs::is_regular_file(S) : !fs::is_directory(S))) {
        throw UsageError(P.string() + ": in the way of the stick's " + Joined(F.Path, "\\") + " (" +
                         (Last ? "not a file" : "not a folder") + ")");
      }
    }
  }
  return Plan;
}

// ---- Writing -----------------------------------------------------------------

namespace {

void WriteHostFile(const fs::path &Path, const std::vector<uint8_t> &Bytes) {
  const int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (Fd < 0) {
    throw UsageError(Path.string() + ": cannot be written: " + std::strerror(errno));
  }
  size_t Done = 0;
  while (Done < Bytes.size()) {
    const ssize_t N = ::write(Fd, Bytes.data() + Done, Bytes.size() - Done);
    if (N < 0 && errno == EINTR) {
      continue;
    }
    if (N <= 0) {
      const int Saved = errno;
      ::close(Fd);
      throw UsageError(Path.string() + ": cannot be written whole: " + std::strerror(N < 0 ? Saved : ENOSPC));
    }
    Done += static_cast<size_t>(N);
  }
  // On the stick before the technician takes it out.
  const bool Synced = ::fsync(Fd) == 0;
  const int Saved = errno;
  if (::close(Fd) != 0 || !Synced) {
    throw UsageError(Path.string() + ": cannot be written: " + std::strerror(Synced ? errno : Saved));
  }
}

void SyncFolder(const fs::path &Path) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd >= 0) {
    ::fsync(Fd);
    ::close(Fd);
  }
}

void WriteFolder(const fs::path &Dir, const StickPlan &Plan) {
  std::error_code Error;
  // A link at a name the stick holds goes, and the file it pointed to stays.
  for (const std::string &Link : Plan.Unlinked) {
    if (!fs::remove(Link, Error) || Error) {
      throw UsageError(Link + ": the link cannot be removed: " + Error.message());
    }
  }
  for (const StickFile &F : Plan.Files) {
    fs::path Parent = Dir;
    for (size_t I = 0; I + 1 < F.Path.size(); I++) {
      Parent = Resolve(Parent, {F.Path[I]});
      fs::create_directory(Parent, Error);
      if (Error) {
        throw UsageError(Parent.string() + ": cannot be made: " + Error.message());
      }
    }
    WriteHostFile(Resolve(Parent, {F.Path.back()}), F.Bytes);
    SyncFolder(Parent);
  }
  // Only once every new file is in place.
  if (Plan.RemovesState) {
    const fs::path State = Resolve(Dir, {kStickStateName});
    if (!fs::remove(State, Error) || Error) {
      throw UsageError(State.string() + ": cannot be removed: " + Error.message());
    }
  }
  SyncFolder(Dir);
}

// Runs Argv[0] from PATH with no Shell in between, its input from
// /dev/null and its output into Log; UsageError naming File when it cannot
// start or fails.
void RunTool(const std::vector<std::string> &Argv, const fs::path &Log, const std::string &File,
             const char *Package) {
  std::vector<char *> Args;
  for (const std::string &A : Argv) {
    Args.push_back(const_cast<char *>(A.c_str()));
  }
  Args.push_back(nullptr);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, 1, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&Actions, 1, 2);
  pid_t Pid = 0;
  const int Error = posix_spawnp(&Pid, Args[0], &Actions, nullptr, Args.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Error != 0) {
    throw UsageError("--disk-image " + File + ": " + Argv[0] + " cannot be started (" + std::strerror(Error) +
                     "); install Debian's " + Package);
  }
  int Status = 0;
  while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(Status) && WEXITSTATUS(Status) == 127) {
    throw UsageError("--disk-image " + File + ": " + Argv[0] + " was not found; install Debian's " + Package);
  }
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) {
    std::ifstream In(Log);
    std::string Line, Last;
    while (std::getline(In, Line)) {
      Last = Line.empty() ? Last : Line;
    }
    throw UsageError("--disk-image " + File + ": " + Argv[0] + " failed" + (Last.empty() ? "" : ": " + Last));
  }
}

// A temporary folder of this run's, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string Template = (fs::temp_directory_path() / "tamsork-stick-XXXXXX").string();
    if (::mkdtemp(Template.data()) == nullptr) {
      throw UsageError(std::string("stick: no temporary folder: ") + std::strerror(errno));
    }
    Path_ = Template;
  }
  ~ScratchDir() {
    std::error_code Error;
    fs::remove_all(Path_, Error);
  }
  const fs::path &Path() const { return Path_; }

 private:
  fs::path Path_;
};

void PutLe32(std::vector<uint8_t> &B, size_t At, uint32_t V) {
  for (int I = 0; I < 4; I++) {
    B[At + static_cast<size_t>(I)] = uint8_t(V >> (8 * I));
  }
}

void WriteDiskImage(const std::string &File, const StickPlan &Plan) {
  constexpr uint64_t kMiB = 1ull << 20;
  uint64_t Payload = 0;
  for (const StickFile &F : Plan.Files) {
    Payload += F.Bytes.size();
  }
  // Room for FAT32's tables and clusters (at least 65,525 of them), and
  // for the log and the state file the stick collects.
  const uint64_t Partition = std::max<uint64_t>(63 * kMiB, (Payload + Payload / 4 + 8 * kMiB + kMiB - 1) / kMiB * kMiB);
  const uint64_t Disk = kDiskPartitionOffset + Partition;
  constexpr uint32_t kSector = 512;

  const ScratchDir Scratch;
  const fs::path Target = fs::absolute(File);
  const fs::path Partial = Target.parent_path() / ("." + Target.filename().string() + ".partial");
  struct RemoveUnlessKept {
    const fs::path &Path;
    bool Kept = false;
    ~RemoveUnlessKept() {
      std::error_code Error;
      if (!Kept) {
        fs::remove(Path, Error);
      }
    }
  } Cleanup{Partial};

  std::vector<uint8_t> Mbr(kSector, 0);
  WriteHostFile(Partial, Mbr);
  if (::truncate(Partial.c_str(), static_cast<off_t>(Disk)) != 0) {
    throw UsageError("--disk-image " + File + ": cannot be made " + std::to_string(Disk) + " bytes: " +
                     std::strerror(errno));
  }
  const std::string StartSector = std::to_string(kDiskPartitionOffset / kSector);
  const fs::path Log = Scratch.Path() / "tool-output";
  RunTool({"mkfs.fat", "-F", "32", "-n", "TAMSORK", "-h", StartSector, "--offset=" + StartSector, Partial.string()},
          Log, File, "dosfstools");

  // One partition, FAT32 with LBA (0x0C), marked active; CHS fields at
  // their "use LBA" values. The disk signature comes from the image's
  // SHA-256, so sticks of one BIOS image share it and others differ.
  Mbr[446] = 0x80;
  Mbr[447] = 0xFE, Mbr[448] = 0xFF, Mbr[449] = 0xFF;
  Mbr[450] = 0x0C;
  Mbr[451] = 0xFE, Mbr[452] = 0xFF, Mbr[453] = 0xFF;
  PutLe32(Mbr, 454, static_cast<uint32_t>(kDiskPartitionOffset / kSector));
  PutLe32(Mbr, 458, static_cast<uint32_t>(Partition / kSector));
  const std::vector<uint8_t> &Image = Plan.Files[1].Bytes;  // the order PlanStick gives
  const auto Signature = Sha256(Image.data(), Image.size());
  std::copy(Signature.begin(), Signature.begin() + 4, Mbr.begin() + 440);
  Mbr[510] = 0x55, Mbr[511] = 0xAA;
  {
    const int Fd = ::open(Partial.c_str(), O_WRONLY | O_CLOEXEC);
    const bool Written = Fd >= 0 && ::pwrite(Fd, Mbr.data(), Mbr.size(), 0) == static_cast<ssize_t>(Mbr.size());
    if (Fd >= 0) {
      ::close(Fd);
    }
    if (!Written) {
      throw UsageError("--disk-image " + File + ": its partition table cannot be written: " + std::strerror(errno));
    }
  }

  // mtools reaches the partition as IMAGE@@OFFSET; MTOOLS_SKIP_CHECK lets
  // it take a freshly made file system without questions.
  ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
  const std::string Drive = Partial.string() + "@@" + std::to_string(kDiskPartitionOffset);
  std::vector<std::string> Made;
  for (size_t I = 0; I < Plan.Files.size(); I++) {
    const StickFile &F = Plan.Files[I];
    std::string Where = "::";
    for (size_t P = 0; P + 1 < F.Path.size(); P++) {
      Where += "/" + F.Path[P];
      if (std::find(Made.begin(), Made.end(), Where) == Made.end()) {
        RunTool({"mmd", "-i", Drive, Where}, Log, File, "mtools");
        Made.push_back(Where);
      }
    }
    // The bytes that were checked, not the source file read again.
    const fs::path Source = Scratch.Path() / ("file" + std::to_string(I));
    WriteHostFile(Source, F.Bytes);
    RunTool({"mcopy", "-i", Drive, "-D", "o", Source.string(), Where + "/" + F.Path.back()}, Log, File, "mtools");
  }
  std::error_code Error;
  fs::rename(Partial, Target, Error);
  if (Error) {
    throw UsageError("--disk-image " + File + ": cannot be written: " + Error.message());
  }
  Cleanup.Kept = true;
}

}  // namespace

std::string WriteStick(const StickOptions &O, const StickPlan &Plan) {
  std::ostringstream Out;
  if (O.DiskImage) {
    WriteDiskImage(*O.DiskImage, Plan);
    Out << "disk image " << *O.DiskImage << ": " << fs::file_size(*O.DiskImage)
        << " bytes, one FAT32 partition from 1 MiB on, holding:\n";
  } else {
    WriteFolder(*O.Dir, Plan);
    Out << "stick " << *O.Dir << " now holds:\n";
  }
  size_t Width = 0;
  for (const StickFile &F : Plan.Files) {
    Width = std::max(Width, Joined(F.Path, "\\").size());
  }
  for (const StickFile &F : Plan.Files) {
    const std::string Name = Joined(F.Path, "\\");
    Out << "  " << Name << std::string(Width - Name.size() + 2, ' ')
        << Sha256Hex({reinterpret_cast<const char *>(F.Bytes.data()), F.Bytes.size()}) << "  " << F.Bytes.size()
        << " bytes\n";
  }
  Out << "  " << Plan.ImageName << ": version " << Plan.Version << "\n";
  if (Plan.RemovesState) {
    Out << "State.dat removed (--force): the next start begins a new update instead of going on with the old one\n";
  }
  if (Plan.KeepsLog) {
    Out << "Tamsork.log kept: the record of earlier starts; the next ones are added to it\n";
  }
  for (const std::string &Link : Plan.Unlinked) {
    Out << Link << ": was a link; replaced by the file (what it pointed to is as it was)\n";
  }
  if (!O.DiskImage && Plan.NotFatRoot) {
    Out << "note: " << *O.Dir << " is not the root of a FAT file system: copy its files to the root of the stick\n";
  }
  Out << "each boot runs: " << Plan.Command << "\n";
  Out << "next:\n";
  if (O.DiskImage) {
    Out << "  write it to the stick: dd if=" << *O.DiskImage
        << " of=/dev/sdX bs=4M conv=fsync (check with lsblk that sdX is the stick: dd overwrites it whole)\n";
  } else {
    Out << "  unmount the stick (umount) before taking it out of this computer\n";
  }
  Out << (O.Shell ? "  boot the machine from the stick (put the stick first in the boot order): startup.nsh runs at every "
                    "boot\n"
                  : "  boot the machine into its own UEFI Shell with the stick in (no --shell: the stick cannot boot "
                    "by itself): startup.nsh runs at every boot\n");
  if (O.Backup) {
    Out << "  at \"Please enable UPDATE MODE to flash BIOS!\" turn on the board's update mode, then press a key\n";
  }
  if (O.SkipVersionCheck) {
    Out << "  the version check is off (-d): the image is flashed whatever version the machine runs\n";
  }
  if (O.Backup) {
    Out << "  a backup update ends at B, in the hands of the board's own tools (it never shows \"BIOS Update done!\"): "
           "leave the stick in until the board maker's instructions say it may come out\n";
  } else {
    Out << "  leave the stick in through every reset until the screen shows \"BIOS Update done!\", then take it out "
           "(with it in, the next boot asks before it flashes the same image again)\n";
  }
  return Out.str();
}

}  // namespace tamsork_sim
