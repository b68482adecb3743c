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

EFI_STATUS VendorRequestCall(::VENDOR_CONTROL_PROTOCOL *This, UINTN A2, UINTN A3, UINTN A4, UINT32 A5, VOID *Buffer,
                             UINT32 BufferSize, UINT64 *Result) {
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

EFI_STATUS EFIAPI VendorRequestService(::VENDOR_CONTROL_PROTOCOL *This, UINTN A2, UINTN A3, UINTN A4, UINT32 A5,
                                       VOID *Buffer, UINT32 BufferSize, UINT64 *Result) {
  const EFI_STATUS Status = VendorRequestCall(This, A2, A3, A4, A5, Buffer, BufferSize, Result);
  if (EFI_ERROR(Status)) {
    PoisonBytes(Buffer, BufferSize);
    PoisonValue(Result, UINT64{kPoisonSize});
  }
  return Status;
}

// Whether Execute starts a nested Shell: unless the variable nonesting is
// True, as in EDK II's Shell.
bool NestingOn(const std::map<std::u16string, std::u16string> &Variables) {
  for (const auto &[Key, Value] : Variables) {
    if (NamesEqual(Key, u"nonesting") && NamesEqual(Value, u"True")) {
      return false;
    }
  }
  return true;
}

// The last name of a path as a user typed it ("FS0:\\x\\y.efi": "y.efi").
std::u16string LastName(const std::u16string &Name) {
  const size_t Cut = Name.find_last_of(u"\\:");
  return Cut == std::u16string::npos ? Name : Name.substr(Cut + 1);
}

EFI_STATUS ExecuteCommand(EFI_HANDLE *ParentImageHandle, CHAR16 *CommandLine, CHAR16 **Environment,
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
  Call.Argv = ReadShellCommandLine(Call.CommandLine, M.Owner.ShellVariables);
  // A line the Shell cannot read runs nothing; nor does a program it cannot
  // find.
  const bool Readable = !Call.Argv.empty();
  if (Call.Argv.size() >= 2) {
    if (const auto Where = ResolveShellName(M, Call.Argv[1])) {
      Call.ArgumentVolume = Where->Device->Vol.Label();
      Call.ArgumentPath = ToUtf8(Where->Text());
    }
  }
  const Volume::Node *Program = nullptr;
  if (Readable) {
    if (const auto Found = FindProgram(M, Call.Argv[0])) {
      Program = Found->Find();
      Call.ProgramVolume = Found->Device->Vol.Label();
      Call.ProgramPath = Program->Path();
    }
  }
  const EFI_STATUS Status = !Readable            ? EFI_INVALID_PARAMETER
                            : Program == nullptr ? EFI_NOT_FOUND
                                                 : M.Owner.ExecuteStatus;
  const std::u16string Tool = FromUtf8(kFlashToolName);
  if (Program == nullptr && Readable && NamesEqual(LastName(Call.Argv[0]), Tool)) {
    Call.FlashTool = ExecuteCall::Tool::NotFound;
  }
  Event E;
  E.What = Event::Kind::Execute;
  E.Text = ToUtf8(Call.CommandLine);
  if ((Call.Seq = M.Record(std::move(E)))) {
    // Only a machine with power runs the program.
    if (Program != nullptr && !EFI_ERROR(Status) && NamesEqual(Program->Name, Tool)) {
      RunFlashTool(M, Call);
    }
    M.Executions.push_back(std::move(Call));
  }
  // As OVMF's Shell hands a status back (measured on the virtual board):
  // the command's, or the load failure's, without its error bit, so that
  // an error and the warning of the same number look alike. A nested Shell
  // (the default) always returns EFI_SUCCESS and reports a program it
  // cannot find with its own odd code; with nesting off a program not found
  // is EFI_SUCCESS with *StatusCode left unwritten, and a load failure
  // comes back as Execute's own status as well.
  const EFI_STATUS Handed = (EFI_ERROR(Status) ? Status : M.Owner.ExecuteCommandStatus) & ~MAX_BIT;
  if (M.Owner.Unkind.NestedExecute && NestingOn(M.Owner.ShellVariables)) {
    if (StatusCode != nullptr) {
      *StatusCode = Program == nullptr && Readable ? kNestedNotFoundStatus : Handed;
    }
    return EFI_SUCCESS;
  }
  if (Program == nullptr && Readable) {
    return EFI_SUCCESS;
  }
  if (StatusCode != nullptr) {
    *StatusCode = Handed;
  }
  return Status;
}

EFI_STATUS EFIAPI ExecuteService(EFI_HANDLE *ParentImageHandle, CHAR16 *CommandLine, CHAR16 **Environment,
                                 EFI_STATUS *StatusCode) {
  const EFI_STATUS Status = ExecuteCommand(ParentImageHandle, CommandLine, Environment, StatusCode);
  if (EFI_ERROR(Status)) {
    PoisonValue(StatusCode, static_cast<EFI_STATUS>(kPoisonStatus));
  }
  return Status;
}

// The Shell's names for the volumes: a device path that is exactly a
// volume's gets its mapping name, and the path is advanced to its end node.
const CHAR16 *EFIAPI GetMapFromDevicePathService(EFI_DEVICE_PATH_PROTOCOL **DevicePath) {
  auto &M = Machine();
  if (DevicePath == nullptr || *DevicePath == nullptr) {
    M.Misuse("Shell GetMapFromDevicePath: no device path");
    return nullptr;
  }
  const auto *Given = reinterpret_cast<const uint8_t *>(*DevicePath);
  const size_t GivenSize = GetDevicePathSize(*DevicePath);
  for (VolumeDevice *D : {M.Boot.get(), M.Other.get()}) {
    if (GivenSize == D->DevicePath.size() && std::memcmp(Given, D->DevicePath.data(), GivenSize) == 0) {
      *DevicePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<uint8_t *>(Given) + D->DevicePath.size() -
                                                                 END_DEVICE_PATH_LENGTH);
      // As OVMF's Shell answers: the file system's name first, then the
      // other names of the same device.
      // The Shell's own string, as OVMF's Shell keeps it: a caller that
      // frees it frees a pointer the pool never gave out.
      M.MapReply = M.MappingOf(*D) + (D == M.Boot.get() ? u";BLK0:" : u";BLK1:");
      return reinterpret_cast<const CHAR16 *>(M.MapReply.c_str());
    }
  }
  return nullptr;
}

const CHAR16 *EFIAPI GetEnvService(const CHAR16 *Name) {
  auto &M = Machine();
  if (Name == nullptr) {
    M.Misuse("Shell GetEnv: no name");
    return nullptr;
  }
  const std::u16string Wanted(reinterpret_cast<const char16_t *>(Name));
  for (const auto &[Key, Value] : M.Owner.ShellVariables) {
    if (NamesEqual(Key, Wanted)) {
      M.EnvReply = Value;
      return reinterpret_cast<const CHAR16 *>(M.EnvReply.c_str());
    }
  }
  return nullptr;
}

const CHAR16 *EFIAPI GetCurDirService(const CHAR16 *FileSystemMapping) {
  auto &M = Machine();
  if (FileSystemMapping != nullptr) {
    const std::u16string Mapping(reinterpret_cast<const char16_t *>(FileSystemMapping));
    if (M.VolumeOfMapping(Mapping) == nullptr) {
      return nullptr;
    }
    // As OVMF answers: the current directory when it is on that mapping,
    // otherwise the mapping's root, written as the mapping name alone.
    M.CurDirReply = NamesEqual(M.CurrentDirectory.substr(0, Mapping.size()), Mapping) ? M.CurrentDirectory
                                                                                       : M.MappingOf(*M.VolumeOfMapping(Mapping));
  } else if (M.CurrentDirectory.empty()) {
    return nullptr;
  } else {
    M.CurDirReply = M.CurrentDirectory;
  }
  return reinterpret_cast<const CHAR16 *>(M.CurDirReply.c_str());
}

EFI_STATUS EFIAPI SetCurDirService(const CHAR16 *FileSystem, const CHAR16 *Dir) {
  auto &M = Machine();
  if (Dir == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const std::u16string Directory(reinterpret_cast<const char16_t *>(Dir));
  const std::u16string Mapping = FileSystem != nullptr ? std::u16string(reinterpret_cast<const char16_t *>(FileSystem))
                                                       : Directory.substr(0, Directory.find(u':') + 1);
  if (M.VolumeOfMapping(Mapping) == nullptr) {
    return EFI_NOT_FOUND;
  }
  M.CurrentDirectory = FileSystem != nullptr ? Mapping + Directory : Directory;
  return EFI_SUCCESS;
}

}  // namespace

namespace {

// One reading of a line into words: blanks outside double quotes separate
// words; a '^' takes the next character as it is; quotes are removed (an
// unbalanced one makes the line unreadable: no words); tabs
// that are neither quoted nor escaped are dropped from the ends of a word.
std::vector<std::u16string> ReadWords(const std::u16string &Line) {
  std::vector<std::u16string> Words;
  std::u16string Word;
  std::vector<bool> Kept;  // per character of Word: quoted or escaped
  bool InWord = false;
  bool Quoted = false;
  auto Finish = [&] {
    size_t Begin = 0, End = Word.size();
    while (Begin < End && Word[Begin] == u'\t' && !Kept[Begin]) {
      Begin++;
    }
    while (End > Begin && Word[End - 1] == u'\t' && !Kept[End - 1]) {
      End--;
    }
    Words.push_back(Word.substr(Begin, End - Begin));
    Word.clear();
    Kept.clear();
    InWord = false;
  };
  for (size_t I = 0; I < Line.size(); I++) {
    const char16_t C = Line[I];
    if (C == u'^') {
      // A '^' at the very end escapes nothing and is dropped.
      if (I + 1 < Line.size()) {
        Word += Line[++I];
        Kept.push_back(true);
        InWord = true;
      }
    } else if (C == u'"') {
      Quoted = !Quoted;
      InWord = true;
    } else if (C == u' ' && !Quoted) {
      if (InWord) {
        Finish();
      }
    } else {
      Word += C;
      Kept.push_back(Quoted);
      InWord = true;
    }
  }
  if (Quoted) {
    return {};  // an unbalanced quote: the Shell runs nothing
  }
  if (InWord) {
    Finish();
  }
  // A line's tabs at either end belong to no word.
  std::erase_if(Words, [](const std::u16string &W) { return W.empty(); });
  return Words;
}

// What the Shell does to a command line before reading it into words: a
// '#' ends it (inside quotes too) unless a '^' stands before it, which the
// '#' then takes; %name% becomes the variable's value, or nothing; a '|'
// outside quotes, or a word outside quotes that starts with '<' or '>',
// ends the command. Escaped '%' and '|' keep their '^' for the reading.
std::u16string ProcessLine(const std::u16string &Line, const std::map<std::u16string, std::u16string> &Variables) {
  // Comments first, a character at a time: the '^' right before a '#' is
  // taken, whatever stands before it.
  std::u16string Text;
  for (const char16_t C : Line) {
    if (C == u'#') {
      if (Text.empty() || Text.back() != u'^') {
        break;
      }
      Text.pop_back();
    }
    Text += C;
  }
  std::u16string Out;
  bool Quoted = false;
  for (size_t I = 0; I < Text.size(); I++) {
    const char16_t C = Text[I];
    if (C == u'^' && I + 1 < Text.size()) {
      Out += C;
      Out += Text[++I];
      continue;
    }
    if (C == u'"') {
      Quoted = !Quoted;
    } else if (!Quoted && (C == u'|' || ((C == u'<' || C == u'>') && (Out.empty() || Out.back() == u' ')))) {
      break;
    } else if (C == u'%') {
      const size_t End = Text.find(u'%', I + 1);
      if (End != std::u16string::npos && End > I + 1 && Text[End - 1] != u'^') {
        const std::u16string Name = Text.substr(I + 1, End - I - 1);
        for (const auto &[Key, Value] : Variables) {
          if (NamesEqual(Key, Name)) {
            Out += Value;
          }
        }
        I = End;
        continue;
      }
    }
    Out += C;
  }
  return Out;
}

}  // namespace

std::vector<std::u16string> ReadShellCommandLine(const std::u16string &Line,
                                                 const std::map<std::u16string, std::u16string> &Variables) {
  const bool Nested = NestingOn(Variables);
  // The Shell trims blanks and tabs from both ends of a command line.
  const size_t First = Line.find_first_not_of(u" \t");
  std::u16string Command = First == std::u16string::npos ? u"" : Line.substr(First, Line.find_last_not_of(u" \t") - First + 1);
  if (Nested) {
    // The nested Shell reads the line as its own arguments, then runs them
    // again as one line, quoting only the words that hold a blank.
    const std::u16string Given = Command;
    Command.clear();
    for (const std::u16string &Word : ReadWords(Given)) {
      const bool Blank = Word.find(u' ') != std::u16string::npos;
      Command += (Command.empty() ? u"" : u" ") + (Blank ? u"\"" + Word + u"\"" : Word);
    }
  }
  return ReadWords(ProcessLine(Command, Variables));
}

VendorRequestFn VendorRequestEntry() { return VendorRequestService; }
EFI_SHELL_EXECUTE ShellExecuteEntry() { return ExecuteService; }

void InstallShellServices(EFI_SHELL_PROTOCOL &Shell) {
  InstallShellFileServices(Shell);
  Shell.Execute = ExecuteService;
  Shell.GetEnv = GetEnvService;
  Shell.GetMapFromDevicePath = GetMapFromDevicePathService;
  Shell.GetCurDir = GetCurDirService;
  Shell.SetCurDir = SetCurDirService;
}

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
