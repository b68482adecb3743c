// The simulated volume behind EFI_FILE_PROTOCOL: write-back cache, open
// rules, positions, GetInfo sizing, deletion and stale handles.
#include <cstring>

#include "SimfwTestSupport.h"

namespace simfw_test {
namespace {

using sim::Event;
using sim::Service;

class VolumeTest : public SimTest {
 protected:
  void SetUp() override {
    Fw.BootVolume().PutFile("bios.bin", "old content");
    Fw.BootVolume().PutFile("locked.bin", "locked", /*ReadOnly=*/true);
    Fw.BootVolume().PutFile("dir\\inner.txt", "inner");
    Fw.BootVolume().MakeDirectory("empty");
  }
};

// What happens to bytes handed to Write depends on how the handle ends.
TEST_F(VolumeTest, WritesReachTheMediumOnlyWhenCommitted) {
  enum class End { Flush, Close, Reboot, DropCache, FlushThenReboot, FlushRefused, CloseRefused, FlushFails, CloseFails };
  struct Case {
    End How;
    std::string Medium;  // afterwards
    std::vector<Event::Kind> Events;
    EFI_STATUS Status = EFI_SUCCESS;
  };
  const std::vector<Case> Cases = {
      // A medium that refuses the write-back, or a write-back that fails:
      // Flush says so, Close cannot; the cached bytes are lost either way.
      {End::FlushRefused, "old content", {Event::Kind::FileWrite, Event::Kind::FileClose}, EFI_VOLUME_FULL},
      {End::CloseRefused, "old content", {Event::Kind::FileWrite, Event::Kind::FileClose}},
      {End::FlushFails, "old content", {Event::Kind::FileWrite}, EFI_DEVICE_ERROR},
      {End::CloseFails, "old content", {Event::Kind::FileWrite, Event::Kind::FileClose}},
      {End::Flush, "NEW content", {Event::Kind::FileWrite, Event::Kind::FileCommit}},
      {End::Close, "NEW content", {Event::Kind::FileWrite, Event::Kind::FileCommit, Event::Kind::FileClose}},
      {End::Reboot, "old content", {Event::Kind::FileWrite}},
      {End::DropCache, "old content", {Event::Kind::FileWrite}},
      {End::FlushThenReboot, "NEW content", {Event::Kind::FileWrite, Event::Kind::FileCommit}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(static_cast<int>(C.How));
    Fw.BootVolume().PutFile("bios.bin", "old content");
    EFI_STATUS Status = EFI_SUCCESS;
    LaunchWith([&] {
      EFI_FILE_PROTOCOL *F = Open(BootRoot(), u"bios.bin", kReadWrite);
      EXPECT_EQ(Write(F, "NEW"), EFI_SUCCESS);
      // A reader sees the cache; the medium does not have it yet.
      EXPECT_EQ(Text(Fw.BootVolume().CurrentFile("bios.bin")), "NEW content");
      EXPECT_EQ(Text(Fw.BootVolume().MediumFile("bios.bin")), "old content");
      switch (C.How) {
        case End::Flush: Status = F->Flush(F); break;
        case End::Close: Status = F->Close(F); break;
        case End::Reboot: Fw.Reboot(); break;
        case End::DropCache: Fw.BootVolume().DropCache(); break;
        case End::FlushThenReboot:
          Status = F->Flush(F);
          Fw.Reboot();
          break;
        case End::FlushRefused:
        case End::CloseRefused:
          Fw.BootVolume().RefuseWriteBack(EFI_VOLUME_FULL);
          Status = C.How == End::FlushRefused ? F->Flush(F) : F->Close(F);
          Fw.BootVolume().RefuseWriteBack(EFI_SUCCESS);
          if (C.How == End::FlushRefused) {
            F->Close(F);
          }
          break;
        case End::FlushFails:
          Fw.FailNth(sim::Service::FileFlush, 1, EFI_DEVICE_ERROR);
          Status = F->Flush(F);
          break;
        case End::CloseFails:
          Fw.FailNth(sim::Service::FileClose, 1, EFI_DEVICE_ERROR);
          Status = F->Close(F);
          break;
      }
      return EFI_SUCCESS;
    });
    Fw.ClearFaults();
    EXPECT_EQ(Status, C.Status);
    EXPECT_EQ(Text(Fw.BootVolume().MediumFile("bios.bin")), C.Medium);
    EXPECT_EQ(Text(Fw.BootVolume().CurrentFile("bios.bin")), C.Medium);
    std::vector<Event::Kind> Kinds;
    for (const Event &E : Fw.Events()) {
      Kinds.push_back(E.What);
      EXPECT_EQ(E.Path, "\\bios.bin");
      EXPECT_EQ(E.VolumeLabel, "boot");
    }
    EXPECT_EQ(Kinds, C.Events);
    Fw.Reboot();
  }
}

TEST_F(VolumeTest, WriteEventCarriesOffsetAndBytesAndSharesTheCacheAcrossHandles) {
  EFI_FILE_PROTOCOL *Root = BootRoot();
  EFI_FILE_PROTOCOL *A = Open(Root, u"bios.bin", kReadWrite);
  EFI_FILE_PROTOCOL *B = Open(Root, u"BIOS.BIN", kRead);
  ASSERT_EQ(A->SetPosition(A, 4), EFI_SUCCESS);
  ASSERT_EQ(Write(A, "CON"), EFI_SUCCESS);
  const auto Writes = Fw.EventsOf(Event::Kind::FileWrite);
  ASSERT_EQ(Writes.size(), 1u);
  EXPECT_EQ(Writes[0].Offset, 4u);
  EXPECT_EQ(Writes[0].Bytes, Bytes("CON"));
  // Another handle on the same file reads through the same cache.
  EXPECT_EQ(ReadRest(B), "old CONtent");
  EXPECT_EQ(B->Close(B), EFI_SUCCESS);  // closing any handle commits the file
  EXPECT_EQ(Text(Fw.BootVolume().MediumFile("bios.bin")), "old CONtent");
  EXPECT_EQ(A->Close(A), EFI_SUCCESS);
  EXPECT_EQ(Fw.EventsOf(Event::Kind::FileCommit).size(), 1u);  // nothing left to commit the second time
  EXPECT_EQ(Root->Close(Root), EFI_SUCCESS);
  EXPECT_EQ(Fw.OpenFileHandles(), 0u);
}

TEST_F(VolumeTest, OpenFollowsModePathAndAttributeRules) {
  struct Case {
    const char16_t *Path;
    UINT64 Mode;
    UINT64 Attributes;
    EFI_STATUS Expected;
    bool WriteProtected = false;  // the medium is locked
  };
  const std::vector<Case> Cases = {
      {u"bios.bin", kRead, 0, EFI_SUCCESS},
      {u"Bios.BIN", kReadWrite, 0, EFI_SUCCESS},
      {u"\\dir\\..\\.\\bios.bin", kRead, 0, EFI_SUCCESS},
      {u"dir\\inner.txt", kRead, 0, EFI_SUCCESS},
      {u"dir\\\\inner.txt", kRead, 0, EFI_SUCCESS},
      {u"missing.bin", kRead, 0, EFI_NOT_FOUND},
      {u"missing.bin", kReadWrite, 0, EFI_NOT_FOUND},
      {u"nodir\\new.bin", kCreate, 0, EFI_NOT_FOUND},
      {u"bios.bin\\x", kRead, 0, EFI_NOT_FOUND},
      {u"..", kRead, 0, EFI_NOT_FOUND},
      {u"bios.bin", EFI_FILE_MODE_WRITE, 0, EFI_INVALID_PARAMETER},
      {u"bios.bin", EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ, 0, EFI_INVALID_PARAMETER},
      {u"bios.bin", 0, 0, EFI_INVALID_PARAMETER},
      {u"new.bin", kCreate, 0x40, EFI_INVALID_PARAMETER},
      {u"bad?name", kCreate, 0, EFI_INVALID_PARAMETER},
      {u"locked.bin", kRead, 0, EFI_SUCCESS},
      {u"locked.bin", kReadWrite, 0, EFI_ACCESS_DENIED},
      {u"locked.bin", kCreate, 0, EFI_ACCESS_DENIED},
      {u"empty", kReadWrite, 0, EFI_SUCCESS},
      {u"bios.bin", kRead, 0, EFI_SUCCESS, true},
      {u"bios.bin", kReadWrite, 0, EFI_WRITE_PROTECTED, true},
      {u"new.bin", kCreate, 0, EFI_WRITE_PROTECTED, true},
  };
  EFI_FILE_PROTOCOL *Root = BootRoot();
  for (const Case &C : Cases) {
    SCOPED_TRACE(sim::ToUtf8(C.Path));
    Fw.BootVolume().SetWriteProtected(C.WriteProtected);
    EFI_STATUS Status = EFI_SUCCESS;
    EFI_FILE_PROTOCOL *F = Open(Root, C.Path, C.Mode, &Status, C.Attributes);
    EXPECT_EQ(Status, C.Expected);
    EXPECT_EQ(F != nullptr, C.Expected == EFI_SUCCESS);
    if (F != nullptr) {
      F->Close(F);
    }
  }
  EXPECT_TRUE(Fw.EventsOf(Event::Kind::FileCreate).empty());
  EXPECT_EQ(Fw.OpenFileHandles(), 1u);  // the root
}

TEST_F(VolumeTest, PathsAreRelativeToTheHandleUnlessTheyStartAtTheRoot) {
  EFI_FILE_PROTOCOL *Dir = Open(BootRoot(), u"dir", kRead);
  ASSERT_NE(Dir, nullptr);
  EXPECT_EQ(ReadRest(Open(Dir, u"inner.txt", kRead)), "inner");
  EXPECT_EQ(ReadRest(Open(Dir, u"\\bios.bin", kRead)), "old content");
  EXPECT_EQ(ReadRest(Open(Dir, u"..\\bios.bin", kRead)), "old content");
  EFI_STATUS Status = EFI_SUCCESS;
  EXPECT_EQ(Open(Dir, u"bios.bin", kRead, &Status), nullptr);
  EXPECT_EQ(Status, EFI_NOT_FOUND);
}

TEST_F(VolumeTest, CreateWritesTheDirectoryEntryAtOnce) {
  EFI_FILE_PROTOCOL *F = Open(BootRoot(), u"dir\\New.Log", kCreate, nullptr, EFI_FILE_HIDDEN);
  ASSERT_NE(F, nullptr);
  ASSERT_EQ(Write(F, "unflushed"), EFI_SUCCESS);
  const auto Creates = Fw.EventsOf(Event::Kind::FileCreate);
  ASSERT_EQ(Creates.size(), 1u);
  EXPECT_EQ(Creates[0].Path, "\\dir\\New.Log");
  Fw.Reboot();
  // The entry survives the reset, empty; the content did not.
  EXPECT_EQ(Text(Fw.BootVolume().MediumFile("DIR\\new.log")), "");
  // Opening an existing file with CREATE opens it and leaves it alone.
  Fw.BootVolume().PutFile("dir\\New.Log", "kept");
  F = Open(BootRoot(), u"dir\\new.log", kCreate);
  EXPECT_EQ(ReadRest(F), "kept");
  EXPECT_EQ(Fw.EventsOf(Event::Kind::FileCreate).size(), 1u);
}

TEST_F(VolumeTest, ReadWriteAndPositionEdges) {
  EFI_FILE_PROTOCOL *F = Open(BootRoot(), u"bios.bin", kReadWrite);
  UINT64 Position = 0;
  // The end-of-file marker position.
  ASSERT_EQ(F->SetPosition(F, ~UINT64{0}), EFI_SUCCESS);
  ASSERT_EQ(F->GetPosition(F, &Position), EFI_SUCCESS);
  EXPECT_EQ(Position, 11u);
  char Buffer[4];
  UINTN Size = sizeof Buffer;
  EXPECT_EQ(F->Read(F, &Size, Buffer), EFI_SUCCESS);  // at the end: nothing, no error
  EXPECT_EQ(Size, 0u);
  // Beyond the end, reading is a device error; writing extends with zeros.
  ASSERT_EQ(F->SetPosition(F, 13), EFI_SUCCESS);
  Size = sizeof Buffer;
  EXPECT_EQ(F->Read(F, &Size, Buffer), EFI_DEVICE_ERROR);
  ASSERT_EQ(Write(F, "X"), EFI_SUCCESS);
  EXPECT_EQ(Text(Fw.BootVolume().CurrentFile("bios.bin")), std::string("old content\0\0X", 14));
  // A short read reports how much it read.
  ASSERT_EQ(F->SetPosition(F, 12), EFI_SUCCESS);
  Size = sizeof Buffer;
  EXPECT_EQ(F->Read(F, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Size, 2u);

  EFI_FILE_PROTOCOL *ReadOnly = Open(BootRoot(), u"bios.bin", kRead);
  EXPECT_EQ(Write(ReadOnly, "x"), EFI_ACCESS_DENIED);
  EXPECT_EQ(ReadOnly->Flush(ReadOnly), EFI_ACCESS_DENIED);
  EFI_FILE_PROTOCOL *Dir = Open(BootRoot(), u"dir", kReadWrite);
  EXPECT_EQ(Write(Dir, "x"), EFI_UNSUPPORTED);
  EXPECT_EQ(Dir->SetPosition(Dir, 1), EFI_UNSUPPORTED);
  EXPECT_EQ(Dir->SetPosition(Dir, 0), EFI_SUCCESS);
  EXPECT_EQ(Dir->GetPosition(Dir, &Position), EFI_UNSUPPORTED);
}

TEST_F(VolumeTest, GetInfoTwoCallSizingAndContent) {
  struct Case {
    const char16_t *Path;
    uint64_t FileSize;
    uint64_t Attribute;
    const char16_t *Name;
  };
  const std::vector<Case> Cases = {
      {u"bios.bin", 11, EFI_FILE_ARCHIVE, u"bios.bin"},
      {u"LOCKED.BIN", 6, EFI_FILE_ARCHIVE | EFI_FILE_READ_ONLY, u"locked.bin"},
      {u"dir", 0, EFI_FILE_DIRECTORY, u"dir"},
      {u"", 0, EFI_FILE_DIRECTORY, u""},  // the root itself
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(sim::ToUtf8(C.Path));
    EFI_FILE_PROTOCOL *F = Open(BootRoot(), C.Path, kRead);
    ASSERT_NE(F, nullptr);
    EFI_GUID Guid = kFileInfoGuid;
    UINTN Size = 0;
    ASSERT_EQ(F->GetInfo(F, &Guid, &Size, nullptr), EFI_BUFFER_TOO_SMALL);
    const UINTN Needed = 80 + (std::char_traits<char16_t>::length(C.Name) + 1) * 2;
    EXPECT_EQ(Size, Needed);
    std::vector<uint8_t> Buffer(Size - 1);
    Size = Buffer.size();
    ASSERT_EQ(F->GetInfo(F, &Guid, &Size, Buffer.data()), EFI_BUFFER_TOO_SMALL);  // one byte short
    Buffer.resize(Size);
    ASSERT_EQ(F->GetInfo(F, &Guid, &Size, Buffer.data()), EFI_SUCCESS);
    EFI_FILE_INFO Info;
    std::memcpy(&Info, Buffer.data(), SIZE_OF_EFI_FILE_INFO);
    EXPECT_EQ(Info.Size, Needed);
    EXPECT_EQ(Info.FileSize, C.FileSize);
    EXPECT_GE(Info.PhysicalSize, Info.FileSize);
    EXPECT_EQ(Info.Attribute, C.Attribute);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(Buffer.data() + 80)), C.Name);
  }
  EFI_FILE_PROTOCOL *F = Open(BootRoot(), u"bios.bin", kRead);
  EFI_GUID Other = kSimpleFileSystemGuid;
  UINTN Size = 0;
  EXPECT_EQ(F->GetInfo(F, &Other, &Size, nullptr), EFI_UNSUPPORTED);
  // FileSize follows the cache, not the medium.
  EFI_FILE_PROTOCOL *W = Open(BootRoot(), u"bios.bin", kReadWrite);
  W->SetPosition(W, 20);
  Write(W, "!");
  EFI_GUID Guid = kFileInfoGuid;
  std::vector<uint8_t> Buffer(200);
  Size = Buffer.size();
  ASSERT_EQ(F->GetInfo(F, &Guid, &Size, Buffer.data()), EFI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<EFI_FILE_INFO *>(Buffer.data())->FileSize, 21u);
}

TEST_F(VolumeTest, DeleteRemovesOrWarnsAndAlwaysClosesTheHandle) {
  struct Case {
    const char16_t *Path;
    UINT64 Mode;
    EFI_STATUS Expected;
    bool StillThere;
  };
  const std::vector<Case> Cases = {
      {u"bios.bin", kReadWrite, EFI_SUCCESS, false},
      {u"dir\\inner.txt", kRead, EFI_WARN_DELETE_FAILURE, true},
      {u"dir", kReadWrite, EFI_WARN_DELETE_FAILURE, true},  // not empty
      {u"empty", kReadWrite, EFI_SUCCESS, false},
      {u"", kReadWrite, EFI_WARN_DELETE_FAILURE, true},  // the root
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(sim::ToUtf8(C.Path));
    const std::string Path = sim::ToUtf8(C.Path);
    EFI_FILE_PROTOCOL *Root = BootRoot();
    EFI_FILE_PROTOCOL *F = Open(Root, C.Path, C.Mode);
    ASSERT_NE(F, nullptr);
    const size_t Before = Fw.OpenFileHandles();
    EXPECT_EQ(F->Delete(F), C.Expected);
    EXPECT_EQ(Fw.OpenFileHandles(), Before - 1);
    EXPECT_EQ(Fw.BootVolume().Exists(Path), C.StillThere);
    EXPECT_EQ(Fw.EventsOf(Event::Kind::FileDelete).empty(), C.StillThere);
    Root->Close(Root);
    LaunchWith([] { return EFI_SUCCESS; });  // starts the records afresh
  }
}

TEST_F(VolumeTest, HandleOnADeletedFileStaysUsableButReachesNothing) {
  EFI_FILE_PROTOCOL *Root = BootRoot();
  EFI_FILE_PROTOCOL *Keeper = Open(Root, u"bios.bin", kReadWrite);
  EFI_FILE_PROTOCOL *Deleter = Open(Root, u"bios.bin", kReadWrite);
  ASSERT_EQ(Deleter->Delete(Deleter), EFI_SUCCESS);
  EXPECT_EQ(ReadRest(Keeper), "old content");
  EXPECT_EQ(Write(Keeper, " more"), EFI_SUCCESS);
  EXPECT_EQ(Keeper->Flush(Keeper), EFI_SUCCESS);
  EXPECT_EQ(Keeper->Close(Keeper), EFI_SUCCESS);
  EXPECT_FALSE(Fw.BootVolume().Exists("bios.bin"));
  EXPECT_TRUE(Fw.EventsOf(Event::Kind::FileWrite).empty());
  EXPECT_TRUE(Fw.EventsOf(Event::Kind::FileCommit).empty());
  EXPECT_TRUE(Fw.Misuses().empty());
}

TEST_F(VolumeTest, ClosedOrForeignHandlesAreReportedNotFollowed) {
  EFI_FILE_PROTOCOL *F = Open(BootRoot(), u"bios.bin", kReadWrite);
  ASSERT_EQ(F->Close(F), EFI_SUCCESS);
  const size_t OpenBefore = Fw.OpenFileHandles();
  char Buffer[4];
  UINTN Size = sizeof Buffer;
  UINT64 Position = 0;
  EFI_GUID Guid = kFileInfoGuid;
  const std::vector<std::function<EFI_STATUS()>> Calls = {
      [&] { return F->Close(F); },
      [&] { return F->Read(F, &Size, Buffer); },
      [&] { return Write(F, "x"); },
      [&] { return F->Flush(F); },
      [&] { return F->Delete(F); },
      [&] { return F->GetPosition(F, &Position); },
      [&] { return F->SetPosition(F, 0); },
      [&] { return F->GetInfo(F, &Guid, &Size, Buffer); },
      [&] { return Open(F, u"x", kRead) ? EFI_SUCCESS : EFI_INVALID_PARAMETER; },
  };
  for (size_t I = 0; I < Calls.size(); I++) {
    SCOPED_TRACE(I);
    EXPECT_EQ(Calls[I](), EFI_INVALID_PARAMETER);
    EXPECT_EQ(Fw.Misuses().size(), I + 1);
  }
  EXPECT_EQ(Fw.OpenFileHandles(), OpenBefore);
  EXPECT_TRUE(Fw.EventsOf(Event::Kind::FileWrite).empty());
  // A pointer that never was a handle.
  EFI_FILE_PROTOCOL Fake = *BootRoot();
  EXPECT_EQ(Fake.Close(&Fake), EFI_INVALID_PARAMETER);
  EXPECT_NE(Fw.Misuses().back().find("not a file handle"), std::string::npos);
}

TEST_F(VolumeTest, RebootClosesEveryHandle) {
  EFI_FILE_PROTOCOL *F = Open(BootRoot(), u"bios.bin", kRead);
  EXPECT_EQ(Fw.OpenFileHandles(), 2u);
  Fw.Reboot();
  EXPECT_EQ(Fw.OpenFileHandles(), 0u);
  EXPECT_EQ(F->Close(F), EFI_INVALID_PARAMETER);
}

TEST_F(VolumeTest, ReadingADirectoryListsItsEntriesInOrder) {
  Fw.BootVolume().PutFile("dir\\second.txt", "22");
  EFI_FILE_PROTOCOL *Dir = Open(BootRoot(), u"dir", kRead);
  for (int Pass = 0; Pass < 2; Pass++) {  // SetPosition(0) restarts the listing
    std::vector<std::u16string> Names;
    for (;;) {
      UINTN Size = 0;
      EFI_STATUS Status = Dir->Read(Dir, &Size, nullptr);
      if (Status == EFI_SUCCESS) {
        EXPECT_EQ(Size, 0u);
        break;
      }
      ASSERT_EQ(Status, EFI_BUFFER_TOO_SMALL);
      std::vector<uint8_t> Buffer(Size);
      ASSERT_EQ(Dir->Read(Dir, &Size, Buffer.data()), EFI_SUCCESS);
      Names.emplace_back(reinterpret_cast<const char16_t *>(Buffer.data() + 80));
    }
    EXPECT_EQ(Names, (std::vector<std::u16string>{u"inner.txt", u"second.txt"}));
    ASSERT_EQ(Dir->SetPosition(Dir, 0), EFI_SUCCESS);
  }
}

// The Shell's file functions take the names a Shell user types and hand
// out counted handles; the information comes in a pool block.
TEST_F(VolumeTest, ShellOpensFilesByTheNamesItsUsersType) {
  Fw.OtherVolume().MakeDirectory("only-here");
  EFI_SHELL_PROTOCOL *Sh = Shell();
  const struct {
    const char *Name;
    const char16_t *CurDir, *File;
    EFI_STATUS Expected;
    const char16_t *Found = u"";  // the name GetFileInfo gives
    uint64_t Size = 0;
    UINT64 Mode = kRead;
  } Rows[] = {
      {"in the current directory", u"FS0:", u"bios.bin", EFI_SUCCESS, u"bios.bin", 11},
      {"in a current subdirectory", u"FS0:\\dir", u"inner.txt", EFI_SUCCESS, u"inner.txt", 5},
      {"from the current volume's root", u"FS0:\\dir", u"\\bios.bin", EFI_SUCCESS, u"bios.bin", 11},
      {"up and in any case", u"fs0:\\DIR", u".\\..\\BIOS.BIN", EFI_SUCCESS, u"bios.bin", 11},
      {"on a mapping", u"FS1:", u"fs0:\\dir\\inner.txt", EFI_SUCCESS, u"inner.txt", 5},
      {"a directory", u"FS0:", u"dir", EFI_SUCCESS, u"dir"},
      {"not from the root", u"FS0:\\dir", u"bios.bin", EFI_NOT_FOUND},
      {"missing", u"FS0:", u"missing.bin", EFI_NOT_FOUND},
      {"on the other volume", u"FS0:", u"only-here", EFI_NOT_FOUND},
      {"no current directory", u"", u"bios.bin", EFI_NOT_FOUND},
      {"no such mapping", u"FS0:", u"FS7:\\bios.bin", EFI_NOT_FOUND},
      {"read-only for writing", u"FS0:", u"locked.bin", EFI_ACCESS_DENIED, u"", 0, kReadWrite},
      {"created", u"FS0:\\dir", u"new.log", EFI_SUCCESS, u"new.log", 0, kCreate},
  };
  for (const auto &R : Rows) {
    SCOPED_TRACE(R.Name);
    Fw.SetCurrentDirectory(R.CurDir);
    SHELL_FILE_HANDLE Handle = Bs;  // anything but NULL
    EXPECT_EQ(Sh->OpenFileByName(R.File, &Handle, R.Mode), R.Expected);
    if (R.Expected != EFI_SUCCESS) {
      EXPECT_EQ(Handle, nullptr);
      continue;
    }
    EFI_FILE_INFO *Info = Sh->GetFileInfo(Handle);
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(Info->FileName)), R.Found);
    EXPECT_EQ(Info->FileSize, R.Size);
    EXPECT_EQ((Info->Attribute & EFI_FILE_DIRECTORY) != 0, R.Found == std::u16string(u"dir"));
    EXPECT_EQ(Fw.LivePoolBlocks(), 1u);
    EXPECT_EQ(Bs->FreePool(Info), EFI_SUCCESS);
    EXPECT_EQ(Sh->CloseFile(Handle), EFI_SUCCESS);
  }
  EXPECT_TRUE(Fw.BootVolume().Exists("dir\\new.log"));
  EXPECT_EQ(Fw.OpenFileHandles(), 0u);
  EXPECT_TRUE(Fw.Misuses().empty());

  // A Shell handle left open at the end of a launch stays counted. Faults:
  // Open fails with its status, GetFileInfo gives NULL, CloseFile closes.
  Fw.SetCurrentDirectory(u"FS0:");
  SHELL_FILE_HANDLE Left = nullptr, Closed = nullptr;
  LaunchWith([&] { return Sh->OpenFileByName(u"bios.bin", &Left, kRead); });
  EXPECT_EQ(Fw.OpenFileHandles(), 1u);
  Fw.FailNth(Service::ShellOpenFileByName, 1, EFI_DEVICE_ERROR);
  Fw.FailNth(Service::ShellGetFileInfo, 1, EFI_DEVICE_ERROR);
  Fw.FailNth(Service::ShellCloseFile, 1, EFI_DEVICE_ERROR);
  LaunchWith([&] {
    EXPECT_EQ(Sh->OpenFileByName(u"bios.bin", &Closed, kRead), EFI_DEVICE_ERROR);
    EXPECT_EQ(Sh->OpenFileByName(u"bios.bin", &Closed, kRead), EFI_SUCCESS);
    EXPECT_EQ(Sh->GetFileInfo(Closed), nullptr);
    EXPECT_EQ(Sh->CloseFile(Closed), EFI_SUCCESS);
    return EFI_SUCCESS;
  });
  Fw.ClearFaults();
  EXPECT_EQ(Fw.OpenFileHandles(), 1u);
  EXPECT_EQ(Fw.LivePoolBlocks(), 0u);
  // Handles the Shell did not give out, or has closed, are misuses.
  EFI_FILE_PROTOCOL *Root = BootRoot();
  EXPECT_EQ(Sh->CloseFile(Root), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sh->CloseFile(Closed), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sh->GetFileInfo(Closed), nullptr);
  EXPECT_EQ(Fw.Misuses().size(), 3u);
  EXPECT_EQ(Sh->CloseFile(Left), EFI_SUCCESS);
}

TEST_F(VolumeTest, SetInfoChangesSizeAndAttributes) {
  EFI_FILE_PROTOCOL *F = Open(BootRoot(), u"bios.bin", kReadWrite);
  EFI_GUID Guid = kFileInfoGuid;
  std::vector<uint8_t> Buffer(200);
  UINTN Size = Buffer.size();
  ASSERT_EQ(F->GetInfo(F, &Guid, &Size, Buffer.data()), EFI_SUCCESS);
  auto *Info = reinterpret_cast<EFI_FILE_INFO *>(Buffer.data());
  Info->FileSize = 3;
  Info->Attribute |= EFI_FILE_READ_ONLY;
  ASSERT_EQ(F->SetInfo(F, &Guid, Size, Buffer.data()), EFI_SUCCESS);
  EXPECT_EQ(Text(Fw.BootVolume().CurrentFile("bios.bin")), "old");
  EXPECT_EQ(Text(Fw.BootVolume().MediumFile("bios.bin")), "old content");  // truncation is cached too
  EFI_STATUS Status = EFI_SUCCESS;
  EXPECT_EQ(Open(BootRoot(), u"bios.bin", kReadWrite, &Status), nullptr);
  EXPECT_EQ(Status, EFI_ACCESS_DENIED);
  Info->Attribute |= EFI_FILE_DIRECTORY;
  EXPECT_EQ(F->SetInfo(F, &Guid, Size, Buffer.data()), EFI_ACCESS_DENIED);
}

}  // namespace
}  // namespace simfw_test
