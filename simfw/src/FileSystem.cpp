// The Simple File System protocol and the file handles it hands out.
//
// Behaviour worth knowing when reading a test:
// - Reading a directory handle returns its entries one EFI_FILE_INFO per
//   call, in directory order, then a zero size at the end, as FAT does.
// - A call through a closed handle (or a pointer that never was a handle)
//   is answered with EFI_INVALID_PARAMETER and listed in Misuses(); the
//   handle's memory stays valid until the next launch so the call arrives.
// - A handle whose file was deleted through another handle stays usable:
//   reads see its last content, writes succeed but reach no medium and are
//   not recorded.
#include <algorithm>
#include <cstring>

#include "Internal.h"

namespace sim {

namespace {

constexpr UINT64 kFileRevision = 0x00010000;
constexpr UINT64 kValidAttributes = 0x37;
constexpr size_t kPathLimit = 32768;  // characters in one Open path
constexpr size_t kNameMax = 255;      // characters in one FAT long name
constexpr uint64_t kClusterSize = 4096;
// The simulated volumes are small; a file cannot grow past this.
constexpr uint64_t kMaxFileSize = uint64_t{256} << 20;

Event FileEvent(Event::Kind K, const FileHandle &F) {
  Event E;
  E.What = K;
  E.Path = F.Node->Path();
  E.VolumeLabel = F.Vol->Label();
  return E;
}

// Writes the cache of F's file back to its medium, recording it when the
// file is still on the volume. A write-back that fails (Failure, or a
// medium that refuses it) loses what was cached, and the failure comes back.
EFI_STATUS WriteBack(Firmware::Impl &M, const FileHandle &F, EFI_STATUS Failure = EFI_SUCCESS) {
  if (Failure == EFI_SUCCESS && F.Node->Dirty) {
    Failure = F.Vol->WriteBackStatus();
  }
  if (Failure != EFI_SUCCESS) {
    if (!F.Node->Directory) {
      F.Node->DropCache();
    }
    return Failure;
  }
  const bool Attached = F.Node->Attached();
  if (F.Node->Commit() && Attached) {
    M.Record(FileEvent(Event::Kind::FileCommit, F));
  }
  return EFI_SUCCESS;
}

bool ValidNewName(const std::u16string &Name) {
  if (Name.size() > kNameMax) {
    return false;
  }
  return std::none_of(Name.begin(), Name.end(), [](char16_t C) {
    return C < 0x20 || C == u'"' || C == u'*' || C == u'/' || C == u':' || C == u'<' || C == u'>' || C == u'?' ||
           C == u'|';
  });
}

// A failed transfer leaves the handle's position anywhere (only while
// outputs are poisoned).
void PoisonPosition(Firmware::Impl &M, const EFI_FILE_PROTOCOL *This) {
  const auto It = M.Files.find(This);
  if (It != M.Files.end() && It->second->Open && Poisoning()) {
    It->second->Position = kPoisonSize;
  }
}

// ---------------------------------------------------------------- EFI_FILE_PROTOCOL

EFI_STATUS OpenCall(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName, UINT64 OpenMode,
                    UINT64 Attributes) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FileOpen)) {
    return *Fault;
  }
  FileHandle *F = M.LiveFile(This, "File Open");
  if (F == nullptr || NewHandle == nullptr || FileName == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Length = BoundedLength(FileName, kPathLimit);
  if (!Length) {
    M.Misuse("File Open: file name without a terminator");
    return EFI_INVALID_PARAMETER;
  }
  FileHandle *Opened = nullptr;
  const EFI_STATUS Status =
      M.OpenPath(*F->Vol, F->Node, std::u16string(FileName, *Length), OpenMode, Attributes, &Opened);
  if (Status == EFI_SUCCESS) {
    *NewHandle = &Opened->Proto;
  }
  return Status;
}

EFI_STATUS EFIAPI OpenService(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, CHAR16 *FileName, UINT64 OpenMode,
                              UINT64 Attributes) {
  const EFI_STATUS Status = OpenCall(This, NewHandle, FileName, OpenMode, Attributes);
  if (EFI_ERROR(Status)) {
    PoisonPointer(NewHandle);
  }
  return Status;
}

// Releases a handle, writing its cache back first. Close has no failure
// to report: a write-back that fails on the way (Failure, an injected
// fault, or a medium that refuses it) loses the cached bytes, and only
// Flush would have said so.
void ReleaseHandle(Firmware::Impl &M, FileHandle &F, EFI_STATUS Failure = EFI_SUCCESS) {
  WriteBack(M, F, Failure);
  M.Record(FileEvent(Event::Kind::FileClose, F));
  M.CloseFile(F);
}

EFI_STATUS EFIAPI CloseService(EFI_FILE_PROTOCOL *This) {
  auto &M = Machine();
  const auto Fault = M.Gate(Service::FileClose);
  FileHandle *F = M.LiveFile(This, "File Close");
  if (F == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  ReleaseHandle(M, *F, Fault.value_or(EFI_SUCCESS));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI DeleteService(EFI_FILE_PROTOCOL *This) {
  auto &M = Machine();
  const auto Fault = M.Gate(Service::FileDelete);
  FileHandle *F = M.LiveFile(This, "File Delete");
  if (F == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Fault) {
    // Delete closes the handle whatever happens to the file.
    ReleaseHandle(M, *F, *Fault);
    return *Fault;
  }
  Volume::Node &N = *F->Node;
  const auto Parent = N.Parent.lock();
  const bool Deletable = F->Writable && Parent && N.Attached() && !N.ReadOnly() && N.Children.empty();
  if (!Deletable) {
    // The handle is closed all the same, as Close would.
    ReleaseHandle(M, *F);
    return EFI_WARN_DELETE_FAILURE;
  }
  Event E = FileEvent(Event::Kind::FileDelete, *F);
  Parent->RemoveChild(&N);
  N.Cache.clear();
  N.Dirty = false;
  M.Record(std::move(E));
  M.CloseFile(*F);
  return EFI_SUCCESS;
}

EFI_STATUS ReadCall(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FileRead)) {
    return *Fault;
  }
  FileHandle *F = M.LiveFile(This, "File Read");
  if (F == nullptr || BufferSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const Volume::Node &N = *F->Node;
  if (N.Directory) {
    if (F->Position >= N.Children.size()) {
      *BufferSize = 0;  // end of the directory
      return EFI_SUCCESS;
    }
    const Volume::Node &Entry = *N.Children[F->Position];
    const size_t Needed = FileInfoSize(Entry);
    if (*BufferSize < Needed) {
      *BufferSize = Needed;
      return EFI_BUFFER_TOO_SMALL;
    }
    if (Buffer == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    FillFileInfo(Entry, Buffer);
    *BufferSize = Needed;
    F->Position++;
    return EFI_SUCCESS;
  }
  const std::vector<uint8_t> &Data = N.Current();
  if (F->Position > Data.size()) {
    return EFI_DEVICE_ERROR;
  }
  const UINTN Asked = *BufferSize;
  size_t Count = std::min<uint64_t>(*BufferSize, Data.size() - F->Position);
  if (Count != 0 && Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const UnkindBehaviour &Unkind = M.Owner.Unkind;
  if (Unkind.MaxReadSize != 0 && Count > Unkind.MaxReadSize) {
    return EFI_DEVICE_ERROR;  // one transfer too many for the stack
  }
  if (Unkind.ShortReads) {
    Count = std::min<size_t>(Count, *BufferSize / 2 + *BufferSize % 2);
  }
  if (Count != 0) {
    std::memcpy(Buffer, Data.data() + F->Position, Count);
  }
  F->Position += Count;
  *BufferSize = Unkind.OverstatedRead == M.ServiceCalls[static_cast<size_t>(Service::FileRead)] ? Asked + 1 : Count;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ReadService(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
  const UINTN Asked = BufferSize != nullptr ? *BufferSize : 0;
  const EFI_STATUS Status = ReadCall(This, BufferSize, Buffer);
  if (EFI_ERROR(Status)) {
    // The size a directory entry needs is the one output a failure defines.
    PoisonBytes(Buffer, Asked);
    if (Status != EFI_BUFFER_TOO_SMALL) {
      PoisonValue(BufferSize, static_cast<UINTN>(kPoisonSize));
      PoisonPosition(Machine(), This);
    }
  }
  return Status;
}

EFI_STATUS WriteCall(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FileWrite)) {
    return *Fault;
  }
  FileHandle *F = M.LiveFile(This, "File Write");
  if (F == nullptr || BufferSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  Volume::Node &N = *F->Node;
  if (N.Directory) {
    return EFI_UNSUPPORTED;
  }
  if (!F->Writable) {
    return EFI_ACCESS_DENIED;
  }
  const UINTN Count = *BufferSize;
  if (Count == 0) {
    return EFI_SUCCESS;
  }
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (F->Position > kMaxFileSize || Count > kMaxFileSize - F->Position) {
    *BufferSize = 0;
    return EFI_VOLUME_FULL;
  }
  if (!N.Dirty) {
    N.Cache = N.Medium;
    N.Dirty = true;
  }
  // Writing past the end extends the file; a gap reads as zeros.
  if (N.Cache.size() < F->Position + Count) {
    N.Cache.resize(F->Position + Count, 0);
  }
  const auto *Bytes = static_cast<const uint8_t *>(Buffer);
  std::memcpy(N.Cache.data() + F->Position, Bytes, Count);
  if (N.Attached()) {
    Event E = FileEvent(Event::Kind::FileWrite, *F);
    E.Offset = F->Position;
    E.Bytes.assign(Bytes, Bytes + Count);
    M.Record(std::move(E));
  }
  F->Position += Count;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI WriteService(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
  const EFI_STATUS Status = WriteCall(This, BufferSize, Buffer);
  if (EFI_ERROR(Status)) {
    PoisonValue(BufferSize, static_cast<UINTN>(kPoisonSize));
    PoisonPosition(Machine(), This);
  }
  return Status;
}

EFI_STATUS GetPositionCall(EFI_FILE_PROTOCOL *This, UINT64 *Position) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FileGetPosition)) {
    return *Fault;
  }
  FileHandle *F = M.LiveFile(This, "File GetPosition");
  if (F == nullptr || Position == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (F->Node->Directory) {
    return EFI_UNSUPPORTED;
  }
  *Position = F->Position;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetPositionService(EFI_FILE_PROTOCOL *This, UINT64 *Position) {
  const EFI_STATUS Status = GetPositionCall(This, Position);
  if (EFI_ERROR(Status)) {
    PoisonValue(Position, UINT64{kPoisonSize});
  }
  return Status;
}

EFI_STATUS SetPositionCall(EFI_FILE_PROTOCOL *This, UINT64 Position) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FileSetPosition)) {
    return *Fault;
  }
  FileHandle *F = M.LiveFile(This, "File SetPosition");
  if (F == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (F->Node->Directory) {
    if (Position != 0) {
      return EFI_UNSUPPORTED;
    }
    F->Position = 0;  // restart the listing
    return EFI_SUCCESS;
  }
  F->Position = Position == ~UINT64{0} ? F->Node->Current().size() : Position;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetPositionService(EFI_FILE_PROTOCOL *This, UINT64 Position) {
  const EFI_STATUS Status = SetPositionCall(This, Position);
  if (EFI_ERROR(Status)) {
    PoisonPosition(Machine(), This);
  }
  return Status;
}

EFI_STATUS GetInfoCall(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType, UINTN *BufferSize, VOID *Buffer) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FileGetInfo)) {
    return *Fault;
  }
  FileHandle *F = M.LiveFile(This, "File GetInfo");
  if (F == nullptr || InformationType == nullptr || BufferSize == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (!KitGuidEqual(*InformationType, kFileInfoGuid)) {
    return EFI_UNSUPPORTED;
  }
  const size_t Needed = FileInfoSize(*F->Node);
  if (*BufferSize < Needed) {
    *BufferSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  FillFileInfo(*F->Node, Buffer);
  *BufferSize = Needed;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetInfoService(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType, UINTN *BufferSize, VOID *Buffer) {
  const UINTN Asked = BufferSize != nullptr ? *BufferSize : 0;
  const EFI_STATUS Status = GetInfoCall(This, InformationType, BufferSize, Buffer);
  if (EFI_ERROR(Status)) {
    PoisonBytes(Buffer, Asked);
    if (Status != EFI_BUFFER_TOO_SMALL) {
      PoisonValue(BufferSize, static_cast<UINTN>(kPoisonSize));
    }
  }
  return Status;
}

// Supports changing the size and the attributes. Renaming is not simulated.
EFI_STATUS EFIAPI SetInfoService(EFI_FILE_PROTOCOL *This, EFI_GUID *InformationType, UINTN BufferSize, VOID *Buffer) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::FileSetInfo)) {
    return *Fault;
  }
  FileHandle *F = M.LiveFile(This, "File SetInfo");
  if (F == nullptr || InformationType == nullptr || Buffer == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (!KitGuidEqual(*InformationType, kFileInfoGuid)) {
    return EFI_UNSUPPORTED;
  }
  if (BufferSize < SIZE_OF_EFI_FILE_INFO + sizeof(CHAR16)) {
    return EFI_BAD_BUFFER_SIZE;
  }
  EFI_FILE_INFO Info{};
  std::memcpy(&Info, Buffer, SIZE_OF_EFI_FILE_INFO);
  if (Info.Size < SIZE_OF_EFI_FILE_INFO + sizeof(CHAR16) || Info.Size > BufferSize) {
    return EFI_BAD_BUFFER_SIZE;
  }
  const size_t NameRoom = (Info.Size - SIZE_OF_EFI_FILE_INFO) / sizeof(CHAR16);
  std::vector<CHAR16> NameChars(NameRoom);
  std::memcpy(NameChars.data(), static_cast<const uint8_t *>(Buffer) + SIZE_OF_EFI_FILE_INFO,
              NameRoom * sizeof(CHAR16));
  const auto NameLength = BoundedLength(NameChars.data(), NameRoom);
  if (!NameLength || (Info.Attribute & ~kValidAttributes) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  Volume::Node &N = *F->Node;
  if (((Info.Attribute & EFI_FILE_DIRECTORY) != 0) != N.Directory) {
    return EFI_ACCESS_DENIED;
  }
  const bool Resize = N.Directory ? Info.FileSize != 0 : Info.FileSize != N.Current().size();
  if (Resize && (N.Directory || !F->Writable)) {
    return EFI_ACCESS_DENIED;
  }
  if (!NamesEqual(std::u16string(NameChars.data(), *NameLength), N.Name)) {
    M.Misuse("File SetInfo: renaming is not implemented by the simulated firmware");
    return EFI_UNSUPPORTED;
  }
  if (Resize && Info.FileSize > kMaxFileSize) {
    return EFI_VOLUME_FULL;
  }
  if (Resize) {
    if (!N.Dirty) {
      N.Cache = N.Medium;
      N.Dirty = true;
    }
    N.Cache.resize(Info.FileSize, 0);
  }
  // Attributes live in the directory entry and change at once.
  N.Attributes = Info.Attribute & ~EFI_FILE_DIRECTORY;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FlushService(EFI_FILE_PROTOCOL *This) {
  auto &M = Machine();
  const auto Fault = M.Gate(Service::FileFlush);
  FileHandle *F = M.LiveFile(This, "File Flush");
  if (F == nullptr) {
    return Fault.value_or(EFI_INVALID_PARAMETER);
  }
  if (!Fault && !F->Writable) {
    return EFI_ACCESS_DENIED;
  }
  return WriteBack(M, *F, Fault.value_or(EFI_SUCCESS));
}

// ---------------------------------------------------------------- EFI_SIMPLE_FILE_SYSTEM_PROTOCOL

EFI_STATUS OpenVolumeCall(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::OpenVolume)) {
    return *Fault;
  }
  VolumeDevice *Device = M.DeviceOf(This);
  if (Device == nullptr) {
    M.Misuse("OpenVolume: This is not an installed Simple File System protocol");
    return EFI_INVALID_PARAMETER;
  }
  if (Root == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *Root = &M.NewFileHandle(Device->Vol, Device->Vol.Root()->shared_from_this(), !Device->Vol.WriteProtected())->Proto;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI OpenVolumeService(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root) {
  const EFI_STATUS Status = OpenVolumeCall(This, Root);
  if (EFI_ERROR(Status)) {
    PoisonPointer(Root);
  }
  return Status;
}

}  // namespace

// ---------------------------------------------------------------- opening by path

EFI_STATUS Firmware::Impl::OpenPath(Volume &Vol, std::shared_ptr<Volume::Node> At, const std::u16string &Name,
                                    UINT64 OpenMode, UINT64 Attributes, FileHandle **Opened) {
  const bool Create = OpenMode == (EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE);
  if (OpenMode != EFI_FILE_MODE_READ && OpenMode != (EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE) && !Create) {
    return EFI_INVALID_PARAMETER;
  }
  if (Create && (Attributes & ~kValidAttributes) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  if ((OpenMode & EFI_FILE_MODE_WRITE) != 0 && Vol.WriteProtected()) {
    return EFI_WRITE_PROTECTED;
  }
  // Relative to At, or to the root with a leading '\'.
  if (!Name.empty() && Name[0] == u'\\') {
    At = Vol.Root()->shared_from_this();
  }
  const auto Parts = SplitPath(Name, false);
  bool Created = false;
  for (size_t I = 0; I < Parts.size(); I++) {
    const std::u16string &Part = Parts[I];
    if (Part == u".") {
      continue;
    }
    if (Part == u"..") {
      At = At->Parent.lock();
      if (!At) {
        return EFI_NOT_FOUND;
      }
      continue;
    }
    if (!At->Directory) {
      return EFI_NOT_FOUND;
    }
    if (Volume::Node *Next = At->Find(Part)) {
      At = Next->shared_from_this();
      continue;
    }
    if (!Create || I + 1 != Parts.size()) {
      return EFI_NOT_FOUND;
    }
    if (!ValidNewName(Part)) {
      return EFI_INVALID_PARAMETER;
    }
    // A new entry is written to the directory at once; its content starts
    // empty.
    const bool Directory = (Attributes & EFI_FILE_DIRECTORY) != 0;
    At = At->AddChild(Part, Directory, Directory ? Attributes : Attributes | EFI_FILE_ARCHIVE);
    Created = true;
  }
  if (!Created && (OpenMode & EFI_FILE_MODE_WRITE) && At->ReadOnly()) {
    return EFI_ACCESS_DENIED;
  }
  *Opened = NewFileHandle(Vol, At, (OpenMode & EFI_FILE_MODE_WRITE) != 0);
  if (Created && At->Attached()) {
    Record(FileEvent(Event::Kind::FileCreate, **Opened));
  }
  return EFI_SUCCESS;
}

// ---------------------------------------------------------------- file information

size_t FileInfoSize(const Volume::Node &N) { return SIZE_OF_EFI_FILE_INFO + (N.Name.size() + 1) * sizeof(CHAR16); }

void FillFileInfo(const Volume::Node &N, VOID *Buffer) {
  const size_t Size = FileInfoSize(N);
  std::memset(Buffer, 0, Size);
  EFI_FILE_INFO Info{};
  Info.Size = Size;
  Info.FileSize = N.Directory ? 0 : N.Current().size();
  Info.PhysicalSize = (Info.FileSize + kClusterSize - 1) / kClusterSize * kClusterSize;
  Info.Attribute = N.Attributes | (N.Directory ? EFI_FILE_DIRECTORY : 0);
  std::memcpy(Buffer, &Info, SIZE_OF_EFI_FILE_INFO);
  std::memcpy(static_cast<uint8_t *>(Buffer) + SIZE_OF_EFI_FILE_INFO, N.Name.data(), N.Name.size() * sizeof(CHAR16));
}

// ---------------------------------------------------------------- handle bookkeeping

FileHandle *Firmware::Impl::NewFileHandle(Volume &Vol, std::shared_ptr<Volume::Node> Node, bool Writable) {
  auto F = std::make_unique<FileHandle>();
  F->Proto.Revision = kFileRevision;
  F->Proto.Open = OpenService;
  F->Proto.Close = CloseService;
  F->Proto.Delete = DeleteService;
  F->Proto.Read = ReadService;
  F->Proto.Write = WriteService;
  F->Proto.GetPosition = GetPositionService;
  F->Proto.SetPosition = SetPositionService;
  F->Proto.GetInfo = GetInfoService;
  F->Proto.SetInfo = SetInfoService;
  F->Proto.Flush = FlushService;
  F->Vol = &Vol;
  F->Node = std::move(Node);
  F->Writable = Writable;
  FileHandle *Raw = F.get();
  Files[&Raw->Proto] = std::move(F);
  OpenFiles++;
  return Raw;
}

FileHandle *Firmware::Impl::LiveFile(const EFI_FILE_PROTOCOL *This, const char *Service) {
  const auto It = Files.find(This);
  if (It == Files.end()) {
    Misuse(std::string(Service) + ": not a file handle of this firmware");
    return nullptr;
  }
  if (!It->second->Open) {
    Misuse(std::string(Service) + ": handle on " + It->second->Node->Path() + " used after it was closed");
    return nullptr;
  }
  return It->second.get();
}

void Firmware::Impl::ReleaseFile(FileHandle &F, EFI_STATUS Failure) { ReleaseHandle(*this, F, Failure); }

void Firmware::Impl::CloseFile(FileHandle &F) {
  F.Open = false;
  OpenFiles--;
}

VolumeDevice *Firmware::Impl::DeviceOf(const EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem) const {
  for (VolumeDevice *D : {Boot.get(), Other.get()}) {
    if (FileSystem == &D->FileSystem) {
      return D;
    }
  }
  return nullptr;
}

void InstallFileSystem(Firmware::Impl &M, VolumeDevice &Device) {
  Device.FileSystem.Revision = 0x00010000;
  Device.FileSystem.OpenVolume = OpenVolumeService;
}

}  // namespace sim
