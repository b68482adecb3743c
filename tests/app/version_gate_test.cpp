// The version gate: the image's marker against the running BIOS's SMBIOS
// version, what stops a fresh update, and the SMBIOS string look-up.
#include <cctype>
#include <cstring>
#include <memory>

#include "Machine.h"
#include "app/Tamsork.h"
#include "app/checks/Sha256.h"
#include "app/checks/Smbios.h"
#include "app/checks/VersionGate.h"

namespace tamsork_test {
namespace {

using sim::Service;

const Outcome kAllowed{EFI_SUCCESS, "1", "", kNormalEntry};
Outcome Stopped(const std::string &Console) { return {EFI_NOT_FOUND, kNoFile, Console, {}}; }
// A running version of another form than "V1.05" stops the update.
Outcome Unreadable(const std::string &Version) {
  return Stopped("The running BIOS version \"" + Version +
                 "\" cannot be read: start with -d to update without the version check\n" + kAbortPrompt);
}

class VersionGate : public Machine {
 protected:
  // A fresh normal launch; every stop waits for one key.
  void Launch(const Outcome &Want, const std::vector<std::u16string> &Words = {u"bios.bin"}) {
    Fw.Reboot();
    Fw.BootVolume().RemoveFile("State.dat");
    Fw.BootVolume().RemoveFile("Tamsork.log");
    Fw.QueueKey(sim::CharKey(u'q'));
    Expect(Run(Words), Want);
    EXPECT_EQ(Fw.KeysLeft(), Want.Status == EFI_SUCCESS ? 1u : 0u);
    DrainKeys();
  }
};

TEST_F(VersionGate, ImageMarkerAgainstV105) {
  const std::string Pad(40, 'x');
  std::string Large(1 << 20, '\x5A');
  Large.replace(Large.size() - 100, 12, "$BVDT$.e1.20");
  // The image is read in pieces of FILE_READ_PIECE_SIZE bytes.
  const std::string Piece(FILE_READ_PIECE_SIZE, 'Z');
  const struct {
    const char *Name;
    std::string Image;
    Outcome Want;
  } Cases[] = {
      {"same version", ImageWithField("$.a1.05"), kAllowed},
      {"newer minor", ImageWithField("$.a1.06"), kAllowed},
      {"newer major, older minor", ImageWithField("$.c2.00"), kAllowed},
      {"letter e", ImageWithField("$.e1.10"), kAllowed},
      {"letter g", ImageWithField("$.g9.99"), kAllowed},
      {"letter i", ImageWithField("$.i1.05"), kAllowed},
      {"older minor", ImageWithField("$.a1.04"), Stopped(Refused("1.05", "1.04"))},
      {"older major", ImageWithField("$.a0.99"), Stopped(Refused("1.05", "0.99"))},
      {"older, letter i", ImageWithField("$.i1.00"), Stopped(Refused("1.05", "1.00"))},
      {"marker and nothing else", "$BVDT$.a1.05", kAllowed},
      {"marker at the end of a large image", Large, kAllowed},
      {"marker across the end of the first piece", Piece.substr(6) + "$BVDT$.a1.06" + Pad, kAllowed},
      {"marker at the start of the third piece", Piece + Piece + "$BVDT$.a1.04", Stopped(Refused("1.05", "1.04"))},
      {"first field after the anchor", "$.a0.01$BVDT" + Pad + "$.a1.04$.a1.06", Stopped(Refused("1.05", "1.04"))},
      {"letter b", ImageWithField("$.b1.05"), Stopped(kFileVersionFailed)},
      {"capital letter", ImageWithField("$.A1.05"), Stopped(kFileVersionFailed)},
      {"field only before the anchor", Pad + "$.a1.05" + Pad + "$BVDT" + Pad, Stopped(kFileVersionFailed)},
      {"field cut by the end of the file", Pad + "$BVDT" + Pad + "$.a1.0", Stopped(kFileVersionFailed)},
      {"no marker", std::string(1000, 'Z'), Stopped(kFileVersionFailed)},
      {"0 bytes", "", Stopped(kFileVersionFailed)},
      {"1 byte", "$", Stopped(kFileVersionFailed)},
      {"2 bytes", "$B", Stopped(kFileVersionFailed)},
      {"3 bytes", "$BV", Stopped(kFileVersionFailed)},
      {"4 bytes", "$BVD", Stopped(kFileVersionFailed)},
      {"5 bytes", "$BVDT", Stopped(kFileVersionFailed)},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.BootVolume().PutFile("bios.bin", C.Image);
    Launch(C.Want);
  }
}

// The image is Argv[1], whole, from the root of the volume the application
// was loaded from.
TEST_F(VersionGate, ImageIsFoundOnTheApplicationsVolume) {
  const std::string Name99(99, 'n');
  const std::string Name250(250, 'w');
  const std::string Image = ImageWithField("$.a1.05");
  const struct {
    const char *Name;
    std::function<void()> Setup;
    std::u16string Word;
    Outcome Want;
  } Cases[] = {
      {"in a directory", [&] { Fw.BootVolume().PutFile("fw/bios.bin", Image); }, u"fw\\bios.bin", kAllowed},
      {"a name of 250 characters", [&] { Fw.BootVolume().PutFile(Name250, Image); }, sim::FromUtf8(Name250),
       kAllowed},
      {"a name with a blank", [&] { Fw.BootVolume().PutFile("my bios.bin", Image); }, u"my bios.bin", kAllowed},
      {"only its first 99 characters exist", [&] { Fw.BootVolume().PutFile(Name99, Image); },
       sim::FromUtf8(Name99 + "XYZ"), Stopped(kFileVersionFailed)},
      {"only on the Shell's current volume", [&] { Fw.OtherVolume().PutFile("other.bin", Image); }, u"other.bin",
       Stopped(kFileVersionFailed)},
      {"a directory", [&] { Fw.BootVolume().MakeDirectory("dir.bin"); }, u"dir.bin", Stopped(kFileVersionFailed)},
      {"missing", [] {}, u"missing.bin", Stopped(kFileVersionFailed)},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    C.Setup();
    Launch(C.Want, {C.Word});
  }
}

// Either version unknown: the update stops as for an older image.
TEST_F(VersionGate, UnknownVersionStopsTheUpdate) {
  EFI_DEVICE_PATH_PROTOCOL *Own = nullptr;
  ASSERT_EQ(Fw.SystemTable()->BootServices->HandleProtocol(Fw.BootVolumeHandle(), &kDevicePathGuid,
                                                           reinterpret_cast<VOID **>(&Own)),
            EFI_SUCCESS);
  // The image's device path: the volume's own part, a file node holding
  // "bios.bin" and its NUL, and the end node.
  const UINTN PathSize = GetDevicePathSize(Own) + 4 + sizeof(u"bios.bin");
  const UINTN ImageSize = ImageWithField("$.a1.05").size();
  const struct {
    const char *Name;
    std::function<void()> Fault;
    const std::string &Console;
  } Cases[] = {
      // A fresh launch opens the missing state file twice (to read, then to
      // write), the missing log and the missing checksum file once each
      // before the image, and reads nothing from them.
      {"image open fails", [&] { Fw.FailNth(Service::FileOpen, 5, EFI_DEVICE_ERROR); }, kFileVersionFailed},
      {"GetInfo sizing fails", [&] { Fw.FailNth(Service::FileGetInfo, 1, EFI_DEVICE_ERROR); }, kFileVersionFailed},
      {"GetInfo fails", [&] { Fw.FailNth(Service::FileGetInfo, 2, EFI_DEVICE_ERROR); }, kFileVersionFailed},
      {"image read fails", [&] { Fw.FailNth(Service::FileRead, 1, EFI_DEVICE_ERROR); }, kFileVersionFailed},
      {"the read of the second piece fails",
       [&] {
         Fw.BootVolume().PutFile("bios.bin", std::string(FILE_READ_PIECE_SIZE, 'Z') + ImageWithField("$.a1.05"));
         Fw.FailNth(Service::FileRead, 2, EFI_DEVICE_ERROR);
       },
       kFileVersionFailed},
      {"no pool for the path", [&] { RefusedPoolSizes = {PathSize}; }, kFileVersionFailed},
      {"no pool for the file information", [&] { RefusedPoolSizes = {SIZE_OF_EFI_FILE_INFO + sizeof(u"bios.bin")}; }, kFileVersionFailed},
      {"no pool for the data", [&] { RefusedPoolSizes = {ImageSize}; }, kFileVersionFailed},
      {"the image's read claims more than it asked", [&] { Fw.Unkind.OverstatedRead = 1; }, kFileVersionFailed},
      {"no SMBIOS protocol", [&] { Fw.SetSmbiosInstances(0); }, kDeviceVersionFailed},
      {"no type 0 record",
       [&] { Fw.SetSmbiosRecords({sim::SystemInformation("KVX4720"), sim::ProcessorInformation(0x000806E9)}); },
       kDeviceVersionFailed},
      {"empty SMBIOS table", [&] { Fw.SetSmbiosRecords({}); }, kDeviceVersionFailed},
      // The launch's one walk of the records finds the running version.
      {"GetNext fails", [&] { Fw.FailNth(Service::SmbiosGetNext, 1, EFI_DEVICE_ERROR); }, kDeviceVersionFailed},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.ClearFaults();
    RefusedPoolSizes.clear();
    Fw.Unkind.OverstatedRead = 0;
    Fw.SetSmbiosInstances(1);
    Fw.SetSmbiosRecords(SupportedPlatform());
    Fw.BootVolume().PutFile("bios.bin", ImageWithField("$.a1.05"));
    C.Fault();
    Launch(Stopped(C.Console));
  }
}

// The running version: "<c><digit>.<digit><digit>" and no digit after it,
// from the SMBIOS BIOS Version string; any other form cannot be read and
// stops the update. An image of 0.00 shows the version read in the refusal.
TEST_F(VersionGate, RunningVersionFromSmbios) {
  // A BIOS record whose formatted part ends Length bytes after its header.
  auto Cut = [](size_t Length) {
    sim::SmbiosRecord Bios = sim::BiosInformation("V1.05");
    Bios.Formatted.resize(Length);
    return std::vector<sim::SmbiosRecord>{Bios, sim::SystemInformation("KVX4720"), sim::ProcessorInformation(0x000806E9)};
  };
  auto WithVersionString = [](uint8_t Number) {
    sim::SmbiosRecord Bios = sim::BiosInformation("V9.99");
    Bios.Formatted[5 - 4] = Number;
    return std::vector<sim::SmbiosRecord>{Bios, sim::SystemInformation("KVX4720"),
                                          sim::ProcessorInformation(0x000806E9)};
  };
  const struct {
    const char *Name;
    std::vector<sim::SmbiosRecord> Table;
    std::string Field;
    Outcome Want;
  } Cases[] = {
      {"V1.05", SupportedPlatform("V1.05"), "$.a0.00", Stopped(Refused("1.05", "0.00"))},
      {"a letter after it", SupportedPlatform("V1.05a"), "$.a0.00", Stopped(Refused("1.05", "0.00"))},
      {"a build after it", SupportedPlatform("V1.05 build 7"), "$.a1.05", kAllowed},
      {"a third minor digit", SupportedPlatform("V1.056"), "$.a9.99", Unreadable("V1.056")},
      {"one minor digit", SupportedPlatform("V1.6"), "$.a9.99", Unreadable("V1.6")},
      {"two major digits", SupportedPlatform("V12.34"), "$.a0.00", Unreadable("V12.34")},
      {"a prefix of three", SupportedPlatform("R01.07"), "$.a1.06", Unreadable("R01.07")},
      {"no minor", SupportedPlatform("V1"), "$.a0.00", Unreadable("V1")},
      {"no minor after the point", SupportedPlatform("V1."), "$.a0.00", Unreadable("V1.")},
      {"no prefix letter", SupportedPlatform("1.05"), "$.a0.00", Unreadable("1.05")},
      {"a comma for the point", SupportedPlatform("V1,05"), "$.a0.00", Unreadable("V1,05")},
      {"one character", SupportedPlatform("V"), "$.a0.00", Unreadable("V")},
      {"letters only", SupportedPlatform("Version"), "$.a0.00", Unreadable("Version")},
      {"newer than the image", SupportedPlatform("V1.06"), "$.a1.05", Stopped(Refused("1.06", "1.05"))},
      {"newer major", SupportedPlatform("V2.00"), "$.g1.99", Stopped(Refused("2.00", "1.99"))},
      {"string number past the last", WithVersionString(9), "$.a0.00", Unreadable("Missing String")},
      {"string number 0", WithVersionString(0), "$.a0.00", Unreadable("Missing String")},
      {"a record just long enough for the version's number", Cut(2), "$.a0.00", Stopped(Refused("1.05", "0.00"))},
      {"a record one byte short of it", Cut(1), "$.a0.00", Unreadable("Missing String")},
      {"empty string", SupportedPlatform(""), "$.a0.00", Unreadable("Missing String")},
      {"a control character in it", SupportedPlatform("V1\n05"), "$.a0.00", Unreadable("V1?05")},
      {"300 blanks after V1.05", SupportedPlatform("V1.05" + std::string(300, ' ')), "$.a0.00",
       Stopped(Refused("1.05", "0.00"))},
      {"300 letters, shown by the first 64", SupportedPlatform(std::string(300, 'x')), "$.a0.00",
       Unreadable(std::string(64, 'x'))},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.SetSmbiosRecords(C.Table);
    Fw.BootVolume().PutFile("bios.bin", ImageWithField(C.Field));
    Launch(C.Want);
  }
}

// With -d a missing image passes, and nothing is compared.
TEST_F(VersionGate, SkippedCheckComparesNothing) {
  Fw.BootVolume().RemoveFile("bios.bin");
  IMAGE_FACTS Image{};
  MACHINE_FACTS Machine{};
  EXPECT_EQ(Within([&] { return CheckVersions(TRUE, &Machine, &Image, FALSE); }), EFI_SUCCESS);
  EXPECT_EQ(Fw.ConsoleText(), "");
  ExpectNothingLeft();

  Launch(kAllowed, {u"bios.bin", u"-d"});
}

// The copy on the stick against its .sha256 file, with or without -d: what
// sha256sum -c accepts begins the update and the step line says so; anything
// else is refused before anything changes.
TEST_F(VersionGate, ImageAgainstItsChecksumFile) {
  const std::string Image = ImageWithField("$.a1.05");
  auto Hex = [](const std::string &Bytes) {
    UINT8 Digest[SHA256_DIGEST_SIZE];
    Sha256(Bytes.data(), Bytes.size(), Digest);
    std::string Text;
    for (UINT8 B : Digest) {
      Text += "0123456789abcdef"[B >> 4];
      Text += "0123456789abcdef"[B & 15];
    }
    return Text;
  };
  const std::string Good = Hex(Image), Bad = Hex(Image + "x");
  std::string Upper = Good;
  for (char &C : Upper) {
    C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  }
  const Outcome Refused = {EFI_CRC_ERROR, kNoFile,
                           "bios.bin does not match bios.bin.sha256 (or cannot be read): make the stick again\n", {}};
  const struct {
    const char *Name;
    std::optional<std::string> Sums;
    bool Begins;
  } Cases[] = {
      {"no checksum file", std::nullopt, true},
      {"as sha256sum writes it", Good + "  bios.bin\n", true},
      {"upper case, binary mark, CR LF, another case of the name", Upper + " *BIOS.bin\r\n", true},
      {"among other files' lines", Bad + "  other.bin\n" + Good + "  bios.bin\n", true},
      {"another digest", Bad + "  bios.bin\n", false},
      {"a second line for it that differs", Good + "  bios.bin\n" + Bad + "  bios.bin\n", false},
      {"no line for the image", Good + "  other.bin\n", false},
      {"a name that only begins like it", Good + "  bios.bin.old\n", false},
      {"one blank only", Good + " bios.bin\n", false},
      {"not a digest", "hello\n", false},
      {"empty", "", false},
  };
  for (const auto &Words : {std::vector<std::u16string>{u"bios.bin"}, std::vector<std::u16string>{u"bios.bin", u"-d"}}) {
    for (const auto &C : Cases) {
      SCOPED_TRACE(std::string(C.Name) + (Words.size() > 1 ? ", -d" : ""));
      PlaceState(std::nullopt);
      Fw.BootVolume().RemoveFile("bios.bin.sha256");
      if (C.Sums) {
        Fw.BootVolume().PutFile("bios.bin.sha256", *C.Sums);
      }
      Expect(Run(Words), C.Begins ? kAllowed : Refused);
      const std::string Said = Steps().at(0);
      EXPECT_NE(Said.find(!C.Begins ? "the checksum refused" : C.Sums ? "matches its .sha256" : "has no .sha256"),
                std::string::npos) << Said;
      EXPECT_EQ(LogLines().back().find("step=refused-checksum outcome=\"CRC Error\"") != std::string::npos, !C.Begins);
      Fw.Reboot();
    }
  }
  // An image that cannot be read is no match either.
  Fw.BootVolume().PutFile("bios.bin.sha256", Good + "  bios.bin\n");
  Fw.BootVolume().RemoveFile("bios.bin");
  PlaceState(std::nullopt);
  Expect(Run({u"bios.bin", u"-d"}), Refused);
}

// Several SMBIOS instances describe the same table; only the first is used.
TEST_F(VersionGate, OnlyTheFirstSmbiosInstanceIsOpened) {
  Fw.SetSmbiosInstances(3);
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  ASSERT_EQ(Fw.SystemTable()->BootServices->LocateHandleBuffer(ByProtocol, &kSmbiosGuid, nullptr, &Count, &Handles),
            EFI_SUCCESS);
  ASSERT_EQ(Count, 3u);
  const EFI_HANDLE First = Handles[0];
  Fw.SystemTable()->BootServices->FreePool(Handles);

  Launch(kAllowed);
  size_t Opens = 0;
  for (const auto &[Handle, Guid] : ProtocolOpens) {
    if (std::memcmp(&Guid, &kSmbiosGuid, sizeof Guid) == 0) {
      EXPECT_EQ(Handle, First);
      Opens++;
    }
  }
  EXPECT_EQ(Opens, 1u);  // the launch's one walk of the records
}

// String Number of a record's string area, in a pool string of the exact
// size, or the shared text for a string that is not there.
TEST_F(VersionGate, SmbiosStringLookUp) {
  const std::string Area("ABC\0DEF\0\0", 9);
  const std::string NoStrings("\0\0", 2);
  const struct {
    std::string Area;
    UINT8 Number;
    std::optional<std::u16string> Want;  // none: the shared missing-string text
  } Cases[] = {
      {Area, 1, u"ABC"},
      {Area, 2, u"DEF"},
      {Area, 3, std::nullopt},
      {Area, 255, std::nullopt},
      {Area, 0, u""},
      {NoStrings, 1, std::nullopt},
      {NoStrings, 2, std::nullopt},
      {NoStrings, 0, u""},
      {std::string("HELLO\0\0", 7), 1, u"HELLO"},
      {std::string("A\0BB\0CCC\0\0", 10), 3, u"CCC"},
      {std::string("A\0BB\0CCC\0\0", 10), 4, std::nullopt},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(testing::Message() << "string " << int(C.Number) << " of " << testing::PrintToString(C.Area));
    // An exact-size copy, so a read past the area's end is caught by the
    // address sanitizer.
    std::unique_ptr<CHAR8[]> Copy(new CHAR8[C.Area.size()]);
    std::memcpy(Copy.get(), C.Area.data(), C.Area.size());
    CHAR16 *String = nullptr;
    std::u16string Got;
    EXPECT_EQ(Within([&] {
                EFI_STATUS Status = GetSmbiosString(Copy.get(), C.Number, &String);
                if (String != nullptr) {
                  Got = String;
                }
                FreeSmbiosString(String);
                return Status;
              }),
              EFI_SUCCESS);
    if (C.Want) {
      EXPECT_EQ(Got, *C.Want);
      EXPECT_NE(String, SMBIOS_MISSING_STRING);
      EXPECT_EQ(PoolRequests, std::vector<UINTN>{(C.Want->size() + 1) * sizeof(CHAR16)});
    } else {
      EXPECT_EQ(String, SMBIOS_MISSING_STRING);
      EXPECT_EQ(Got, u"Missing String");
      EXPECT_TRUE(PoolRequests.empty());
    }
    ExpectNothingLeft();
  }
}

}  // namespace
}  // namespace tamsork_test
