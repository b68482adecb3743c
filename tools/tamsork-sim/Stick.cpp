#include "tools/tamsork-sim/Stick.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/tamsork-sim/Options.h"
#include "tools/tamsork-sim/Simulation.h"

#ifndef TAMSORK_DEFAULT_EFI
#define TAMSORK_DEFAULT_EFI ""
#endif

extern char **environ;

namespace tamsork_sim {

const char *const kDefaultEfiPath = TAMSORK_DEFAULT_EFI;

namespace fs = std::filesystem;

// ---- SHA-256 ---------------------------------------------------------------

namespace {

constexpr uint32_t kSha256Rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t Rotr(uint32_t X, int N) { return (X >> N) | (X << (32 - N)); }

void Sha256Block(uint32_t H[8], const uint8_t *Block) {
  uint32_t W[64];
  for (int I = 0; I < 16; I++) {
    W[I] = uint32_t(Block[4 * I]) << 24 | uint32_t(Block[4 * I + 1]) << 16 | uint32_t(Block[4 * I + 2]) << 8 |
           uint32_t(Block[4 * I + 3]);
  }
  for (int I = 16; I < 64; I++) {
    const uint32_t S0 = Rotr(W[I - 15], 7) ^ Rotr(W[I - 15], 18) ^ (W[I - 15] >> 3);
    const uint32_t S1 = Rotr(W[I - 2], 17) ^ Rotr(W[I - 2], 19) ^ (W[I - 2] >> 10);
    W[I] = W[I - 16] + S0 + W[I - 7] + S1;
  }
  uint32_t A = H[0], B = H[1], C = H[2], D = H[3], E = H[4], F = H[5], G = H[6], K = H[7];
  for (int I = 0; I < 64; I++) {
    const uint32_t T1 = K + (Rotr(E, 6) ^ Rotr(E, 11) ^ Rotr(E, 25)) + ((E & F) ^ (~E & G)) + kSha256Rounds[I] + W[I];
    const uint32_t T2 = (Rotr(A, 2) ^ Rotr(A, 13) ^ Rotr(A, 22)) + ((A & B) ^ (A & C) ^ (B & C));
    K = G;
    G = F;
    F = E;
    E = D + T1;
    D = C;
    C = B;
    B = A;
    A = T1 + T2;
  }
  H[0] += A, H[1] += B, H[2] += C, H[3] += D, H[4] += E, H[5] += F, H[6] += G, H[7] += K;
}

}  // namespace

std::array<uint8_t, 32> Sha256(const uint8_t *Data, size_t Size) {
  uint32_t H[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  size_t Done = 0;
  for (; Size - Done >= 64; Done += 64) {
    Sha256Block(H, Data + Done);
  }
  // The tail, the 0x80 byte and the length in bits fill one or two blocks.
  uint8_t Tail[128] = {};
  const size_t Left = Size - Done;
  if (Left > 0) {
    std::memcpy(Tail, Data + Done, Left);
  }
  Tail[Left] = 0x80;
  const size_t TailSize = Left < 56 ? 64 : 128;
  const uint64_t Bits = uint64_t(Size) * 8;
  for (int I = 0; I < 8; I++) {
    Tail[TailSize - 1 - I] = uint8_t(Bits >> (8 * I));
  }
  for (size_t At = 0; At < TailSize; At += 64) {
    Sha256Block(H, Tail + At);
  }
  std::array<uint8_t, 32> Digest{};
  for (int I = 0; I < 32; I++) {
    Digest[I] = uint8_t(H[I / 4] >> (24 - 8 * (I % 4)));
  }
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
  if (Name.size() > 255) {
    return "the file name has " + std::to_string(Name.size()) + " characters, more than FAT's 255";
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
std::string StartupScript(const std::string &ImageName, bool Backup, bool SkipVersionCheck) {
  const std::string E = kStickEfiName;
  const std::string Lines[] = {
      "@echo -off",
      "# Made by tamsork-sim stick: finds the stick that holds " + E + " and " + ImageName + ",",
      "# changes to its root and runs the update's next step. Runs at every boot.",
      "for %a run (0 9)",
      "  if exist fs%a:\\" + E + " then",
      "    if exist fs%a:\\" + ImageName + " then",
      "      fs%a:",
      "      cd \\",
      "      goto tamsork",
      "    endif",
      "  endif",
      "endfor",
      "echo \"No stick with " + E + " and " + ImageName + " was found on FS0: to FS9:\"",
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
  if (!Marker) {
    throw UsageError("--image " + O.Image +
                     ": no version marker (no \"$BVDT\" followed by a \"$.<letter><major>.<minor>\" field); "
                     "Tamsork would refuse it");
  }
  Plan.Version = VersionText(Marker->Major, Marker->Minor);

  std::string Efi = O.Efi.value_or(kDefaultEfiPath);
  if (!O.Efi) {
    std::error_code Error;
    if (Efi.empty() || !fs::exists(Efi, Error)) {
      throw UsageError(std::string("--efi: the Tamsork.efi built from this source tree") +
                       (Efi.empty() ? "" : " (" + Efi + ")") + " is not there; run make efi or give --efi FILE");
    }
  }
  std::vector<uint8_t> EfiBytes = CheckedEfi("--efi", Efi);
  std::vector<uint8_t> ToolBytes = CheckedEfi("--tool", O.Tool);
  std::optional<std::vector<uint8_t>> ShellBytes;
  if (O.Shell) {
    ShellBytes = CheckedEfi("--shell", *O.Shell);
  }

  Plan.Command = StickCommand(Plan.ImageName, O.Backup, O.SkipVersionCheck);
  const std::string Script = StartupScript(Plan.ImageName, O.Backup, O.SkipVersionCheck);
  Plan.Files.push_back({{kStickEfiName}, std::move(EfiBytes)});
  Plan.Files.push_back({{Plan.ImageName}, Image});
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
    if (fs::absolute(*O.DiskImage).string().find("@@") != std::string::npos) {
      throw UsageError("--disk-image " + *O.DiskImage + ": a path holding @@ cannot be handed to mtools");
    }
    return Plan;
  }

  const fs::path Dir = *O.Dir;
  std::error_code Error;
  const fs::file_status DirStatus = fs::status(Dir, Error);
  if (fs::exists(DirStatus) && !fs::is_directory(DirStatus)) {
    throw UsageError("DIR " + Dir.string() + ": not a folder");
  }
  const fs::path State = Resolve(Dir, {kStickStateName});
  if (fs::exists(fs::symlink_status(State, Error))) {
    if (!O.Force) {
      throw UsageError(State.string() +
                       ": an update begun with this stick is under way on some machine; finish it there (start the "
                       "machine from the stick until BIOS Update done!), or delete State.dat or pass --force to begin "
                       "a new round");
    }
    Plan.RemovesState = true;
  }
  Plan.KeepsLog = fs::exists(Resolve(Dir, {kLogFileName}), Error);
  for (const StickFile &F : Plan.Files) {
    for (size_t Depth = 1; Depth <= F.Path.size(); Depth++) {
      const std::vector<std::string> Prefix(F.Path.begin(), F.Path.begin() + static_cast<std::ptrdiff_t>(Depth));
      const fs::path P = Resolve(Dir, Prefix);
      const fs::file_status S = fs::status(P, Error);
      const bool Last = Depth == F.Path.size();
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
  fs::create_directories(Dir, Error);
  if (Error) {
    throw UsageError("DIR " + Dir.string() + ": cannot be made: " + Error.message());
  }
  if (Plan.RemovesState) {
    const fs::path State = Resolve(Dir, {kStickStateName});
    if (!fs::remove(State, Error) || Error) {
      throw UsageError(State.string() + ": cannot be removed: " + Error.message());
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
  Out << "  leave the stick in through every reset until the screen shows \"BIOS Update done!\", then take it out "
         "(with it in, a later boot begins the update again)\n";
  return Out.str();
}

}  // namespace tamsork_sim
