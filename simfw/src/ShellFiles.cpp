// The Shell's names for files, its file functions (OpenFileByName,
// GetFileInfo, CloseFile) and how it finds the program a command names.
//
// A Shell file handle is a file handle of the volume underneath, as in
// EDK II's Shell: it is counted, closed by Reboot() and reported when used
// after it is closed. The Shell's own functions take only the handles the
// Shell gave out.
#include <algorithm>

#include "Internal.h"

namespace sim {

namespace {

constexpr size_t kNameLimit = 32768;  // characters in one Shell file name

// The handle the Shell gave out, or null after recording the misuse.
FileHandle *LiveShellFile(Firmware::Impl &M, SHELL_FILE_HANDLE Handle, const char *Service) {
  FileHandle *F = M.LiveFile(static_cast<const EFI_FILE_PROTOCOL *>(Handle), Service);
  if (F != nullptr && !F->ByShell) {
    M.Misuse(std::string(Service) + ": handle on " + F->Node->Path() + " was not opened by the Shell");
    return nullptr;
  }
  return F;
}

EFI_STATUS OpenFileByNameCall(const CHAR16 *FileName, SHELL_FILE_HANDLE *Handle, UINT64 OpenMode) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::ShellOpenFileByName)) {
    return *Fault;
  }
  if (FileName == nullptr || Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Length = BoundedLength(FileName, kNameLimit);
  if (!Length) {
    M.Misuse("Shell OpenFileByName: file name without a terminator");
    return EFI_INVALID_PARAMETER;
  }
  *Handle = nullptr;
  const auto Where = ResolveShellName(M, std::u16string(FileName, *Length));
  if (!Where) {
    return EFI_NOT_FOUND;  // no such mapping, or no current directory to start from
  }
  Volume &Vol = Where->Device->Vol;
  FileHandle *Opened = nullptr;
  const EFI_STATUS Status = M.OpenPath(Vol, Vol.Root()->shared_from_this(), Where->Text(), OpenMode, 0, &Opened);
  if (Status == EFI_SUCCESS) {
    Opened->ByShell = true;
    *Handle = &Opened->Proto;
  }
  return Status;
}

EFI_STATUS EFIAPI OpenFileByNameService(const CHAR16 *FileName, SHELL_FILE_HANDLE *Handle, UINT64 OpenMode) {
  const EFI_STATUS Status = OpenFileByNameCall(FileName, Handle, OpenMode);
  if (EFI_ERROR(Status)) {
    PoisonPointer(Handle);
  }
  return Status;
}

EFI_FILE_INFO *EFIAPI GetFileInfoService(SHELL_FILE_HANDLE Handle) {
  auto &M = Machine();
  if (M.Gate(Service::ShellGetFileInfo)) {
    return nullptr;
  }
  FileHandle *F = LiveShellFile(M, Handle, "Shell GetFileInfo");
  if (F == nullptr) {
    return nullptr;
  }
  VOID *Info = M.PoolAllocate(FileInfoSize(*F->Node));
  if (Info != nullptr) {
    FillFileInfo(*F->Node, Info);
  }
  return static_cast<EFI_FILE_INFO *>(Info);
}

// The Shell closes through File Close, which always closes and succeeds; a
// failure on the way loses only what was cached.
EFI_STATUS EFIAPI CloseFileService(SHELL_FILE_HANDLE Handle) {
  auto &M = Machine();
  const auto Fault = M.Gate(Service::ShellCloseFile);
  FileHandle *F = LiveShellFile(M, Handle, "Shell CloseFile");
  if (F == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  M.ReleaseFile(*F, Fault.value_or(EFI_SUCCESS));
  return EFI_SUCCESS;
}

bool IsRegularFile(const std::optional<ShellPath> &Where) {
  const Volume::Node *N = Where ? Where->Find() : nullptr;
  return N != nullptr && !N->Directory;
}

}  // namespace

std::u16string ShellPath::Text() const {
  std::u16string Out;
  for (const std::u16string &Part : Parts) {
    Out += u"\\" + Part;
  }
  return Out.empty() ? u"\\" : Out;
}

Volume::Node *ShellPath::Find() const {
  Volume::Node *At = Device->Vol.Root();
  for (const std::u16string &Part : Parts) {
    At = At->Directory ? At->Find(Part) : nullptr;
    if (At == nullptr) {
      return nullptr;
    }
  }
  return At;
}

std::optional<ShellPath> ResolveShellName(const Firmware::Impl &M, const std::u16string &Name) {
  std::u16string Path = Name;
  ShellPath Out;
  std::u16string Base;
  const size_t Colon = Name.find(u':');
  if (Colon != std::u16string::npos) {
    Out.Device = M.VolumeOfMapping(Name.substr(0, Colon + 1));
    Path = Name.substr(Colon + 1);
  } else {
    const size_t CurColon = M.CurrentDirectory.find(u':');
    if (CurColon == std::u16string::npos) {
      return std::nullopt;  // no current directory: the Shell cannot resolve it
    }
    Out.Device = M.VolumeOfMapping(M.CurrentDirectory.substr(0, CurColon + 1));
    Base = M.CurrentDirectory.substr(CurColon + 1);
  }
  if (Out.Device == nullptr) {
    return std::nullopt;
  }
  const std::u16string Full = (!Path.empty() && Path[0] == u'\\') ? Path : Base + u"\\" + Path;
  for (const std::u16string &Part : SplitPath(Full, false)) {
    if (Part == u"..") {
      if (!Out.Parts.empty()) {
        Out.Parts.pop_back();
      }
    } else if (Part != u"." && !Part.empty()) {
      Out.Parts.push_back(Part);
    }
  }
  return Out;
}

// As EDK II's Shell looks for a program (ShellFindFilePathEx): the name as
// a Shell name first, then joined to each entry of path, with a '\\' between
// them when the entry does not end with one; empty entries are passed over.
// Each ending in ProgramExtensions is tried the same way only after the
// name as given was found nowhere.
std::optional<ShellPath> FindProgram(const Firmware::Impl &M, const std::u16string &Name) {
  std::u16string SearchPath;
  for (const auto &[Key, Value] : M.Owner.ShellVariables) {
    if (NamesEqual(Key, u"path")) {
      SearchPath = Value;
    }
  }
  std::vector<std::u16string> Candidates{Name};
  for (const std::u16string &Ending : M.Owner.ProgramExtensions) {
    Candidates.push_back(Name + Ending);
  }
  for (const std::u16string &Candidate : Candidates) {
    if (auto Here = ResolveShellName(M, Candidate); IsRegularFile(Here)) {
      return Here;
    }
    for (size_t From = 0; From < SearchPath.size();) {
      const size_t End = std::min(SearchPath.find(u';', From), SearchPath.size());
      std::u16string Entry = SearchPath.substr(From, End - From);
      From = End + 1;
      if (Entry.empty()) {
        continue;
      }
      if (Entry.back() != u'\\') {
        Entry += u'\\';
      }
      if (auto There = ResolveShellName(M, Entry + Candidate); IsRegularFile(There)) {
        return There;
      }
    }
  }
  return std::nullopt;
}

void InstallShellFileServices(EFI_SHELL_PROTOCOL &Shell) {
  Shell.OpenFileByName = OpenFileByNameService;
  Shell.GetFileInfo = GetFileInfoService;
  Shell.CloseFile = CloseFileService;
}

}  // namespace sim
