// Platform identification from SMBIOS and the memory-overwrite request it
// guards.
#include "Machine.h"
#include "app/checks/Platform.h"

namespace tamsork_test {
namespace {

using sim::Service;

constexpr UINT32 kNvBsRt = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINT32 kBsRt = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

class Platform : public Machine {
 protected:
  void PutMor(std::optional<sim::Variable> V) {
    Fw.RemoveVariable(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid);
    if (V) {
      Fw.PutVariable(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid,
                     V->Attributes, V->Data);
    }
  }
  std::optional<sim::Variable> Mor() const {
    return Fw.GetVariableValue(sim::kMemoryOverwriteRequestControlName, sim::kMemoryOverwriteRequestControlGuid);
  }
};

sim::SmbiosRecord Product(const std::string &Name) { return sim::SystemInformation(Name); }
sim::SmbiosRecord Cpu(uint32_t Signature) { return sim::ProcessorInformation(Signature); }
sim::SmbiosRecord ProductNumber(uint8_t Number) {
  sim::SmbiosRecord R = sim::SystemInformation("KVX4720");
  R.Formatted[5 - 4] = Number;
  return R;
}
const sim::SmbiosRecord kBios = sim::BiosInformation("V1.05");
const sim::SmbiosRecord kCpu = Cpu(0x000806E9);
const sim::SmbiosRecord kProduct = Product("KVX4720");

TEST_F(Platform, SupportedProductAndProcessor) {
  // A type 1 record ending before its Product Name field, and a type 4
  // record ending inside its Processor ID, right before an empty string
  // area whose first NUL would complete the supported signature.
  const sim::SmbiosRecord ShortProduct{1, {1}, {"KVX4720"}, std::nullopt};
  const sim::SmbiosRecord ShortCpu{4, {1, 3, 0xB3, 2, 0xE9, 0x06, 0x08}, {}, std::nullopt};
  const struct {
    const char *Name;
    std::vector<sim::SmbiosRecord> Table;
    EFI_STATUS Want;
    uint64_t RecordsRead;  // GetNext calls: the walk stops at the deciding record
  } Cases[] = {
      {"KVX4720", {kBios, kProduct, kCpu}, EFI_SUCCESS, 3},
      {"LQT5830", {kBios, Product("LQT5830"), kCpu}, EFI_SUCCESS, 3},
      {"ZRN6940", {kBios, Product("ZRN6940"), kCpu}, EFI_SUCCESS, 3},
      {"first 7 characters", {kBios, Product("LQT5830-X"), kCpu}, EFI_SUCCESS, 3},
      {"processor first", {kCpu, kProduct, kBios}, EFI_SUCCESS, 2},
      {"lower case", {kBios, Product("kvx4720"), kCpu}, EFI_NOT_FOUND, 2},
      {"6 characters", {kBios, Product("KVX472"), kCpu}, EFI_NOT_FOUND, 2},
      {"other product", {kBios, Product("KVX4721"), kCpu}, EFI_NOT_FOUND, 2},
      {"leading blank", {kBios, Product(" KVX4720"), kCpu}, EFI_NOT_FOUND, 2},
      {"string number 0", {kBios, ProductNumber(0), kCpu}, EFI_NOT_FOUND, 2},
      {"string number past the last", {kBios, ProductNumber(5), kCpu}, EFI_NOT_FOUND, 2},
      {"record without the field", {kBios, ShortProduct, kCpu}, EFI_NOT_FOUND, 2},
      {"other stepping", {kBios, kProduct, Cpu(0x000806EA)}, EFI_NOT_FOUND, 3},
      {"other model", {kBios, kProduct, Cpu(0x000906E9)}, EFI_NOT_FOUND, 3},
      {"processor ID cut short", {kBios, kProduct, ShortCpu}, EFI_NOT_FOUND, 3},
      {"bad product decides at once", {Product("KVX0000"), kProduct, kCpu}, EFI_NOT_FOUND, 1},
      {"bad processor decides at once", {Cpu(0), kCpu, kProduct}, EFI_NOT_FOUND, 1},
      {"second processor refused first", {kCpu, Cpu(0), kProduct}, EFI_NOT_FOUND, 2},
      {"product between two processors", {kCpu, kProduct, Cpu(0)}, EFI_SUCCESS, 2},
      {"two good products", {kProduct, Product("ZRN6940"), kCpu}, EFI_SUCCESS, 3},
      {"no processor record", {kBios, kProduct}, EFI_NOT_FOUND, 3},
      {"no product record", {kBios, kCpu}, EFI_NOT_FOUND, 3},
      {"empty table", {}, EFI_NOT_FOUND, 1},
      {"first character differs", {kBios, Product("JVX4720"), kCpu}, EFI_NOT_FOUND, 2},
      {"last character differs", {kBios, Product("ZRN6941"), kCpu}, EFI_NOT_FOUND, 2},
      {"first character differs, second product", {kBios, Product("MQT5830"), kCpu}, EFI_NOT_FOUND, 2},
      {"last character in lower case", {kBios, Product("LQT583o"), kCpu}, EFI_NOT_FOUND, 2},
      {"255 characters after the name", {kBios, Product("KVX4720" + std::string(248, 'x')), kCpu}, EFI_SUCCESS, 3},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.SetSmbiosRecords(C.Table);
    EXPECT_EQ(Within(&CheckPlatform), C.Want);
    EXPECT_EQ(Fw.CallCount(Service::SmbiosGetNext), C.RecordsRead);
    EXPECT_EQ(Fw.ConsoleText(), "");
    ExpectNothingLeft();
  }

  Fw.SetSmbiosRecords(SupportedPlatform());
  RefusedPoolSizes = {sizeof(u"KVX4720")};
  EXPECT_EQ(Within(&CheckPlatform), EFI_SUCCESS) << "the product name is read where it lies, with no pool";
  ExpectNothingLeft();
  RefusedPoolSizes.clear();

  Fw.SetSmbiosInstances(0);
  EXPECT_EQ(Within(&CheckPlatform), EFI_NOT_FOUND) << "no SMBIOS protocol";
  ExpectNothingLeft();
}

TEST_F(Platform, MemoryOverwriteRequestCleared) {
  using V = std::optional<sim::Variable>;
  const struct {
    const char *Name;
    V Before, After;
  } Cases[] = {
      {"requested", sim::Variable{kNvBsRt, {0xFF}}, sim::Variable{kNvBsRt, {0x00}}},
      {"requested, volatile", sim::Variable{kBsRt, {0xFF}}, sim::Variable{kBsRt, {0x00}}},
      {"requested, boot services only", sim::Variable{EFI_VARIABLE_BOOTSERVICE_ACCESS, {0xFF}},
       sim::Variable{EFI_VARIABLE_BOOTSERVICE_ACCESS, {0x00}}},
      {"0x00", sim::Variable{kNvBsRt, {0x00}}, sim::Variable{kNvBsRt, {0x00}}},
      {"0x01", sim::Variable{kNvBsRt, {0x01}}, sim::Variable{kNvBsRt, {0x01}}},
      {"0xFE", sim::Variable{kNvBsRt, {0xFE}}, sim::Variable{kNvBsRt, {0xFE}}},
      {"two bytes", sim::Variable{kNvBsRt, {0xFF, 0xFF}}, sim::Variable{kNvBsRt, {0xFF, 0xFF}}},
      {"two bytes, first cleared", sim::Variable{kNvBsRt, {0xFF, 0x00}}, sim::Variable{kNvBsRt, {0xFF, 0x00}}},
      {"missing", std::nullopt, std::nullopt},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    PutMor(C.Before);
    Within([] {
      ClearMemoryOverwriteRequest();
      return EFI_SUCCESS;
    });
    const V Got = Mor();
    ASSERT_EQ(Got.has_value(), C.After.has_value());
    if (Got) {
      EXPECT_EQ(Got->Attributes, C.After->Attributes);
      EXPECT_EQ(Got->Data, C.After->Data);
    }
    const bool Changed = C.Before && C.Before->Data != C.After->Data;
    EXPECT_EQ(Board(), Changed ? std::vector<std::string>{kMorCleared} : std::vector<std::string>{});
    EXPECT_EQ(Fw.ConsoleText(), "");
    ExpectNothingLeft();
  }
}

// A recognised platform has its request cleared before update mode; any
// other is updated with its request kept.
TEST_F(Platform, UpdateModeIsEnteredOnEveryPlatform) {
  const struct {
    const char *Name;
    std::function<void()> Setup;
    std::vector<std::u16string> Words;
    std::vector<std::string> Board;
    uint8_t MorAfter;
  } Cases[] = {
      {"supported", [] {}, {u"bios.bin"}, Then({kMorCleared}, kNormalEntry), 0x00},
      {"supported, backup", [] {}, {u"bios.bin", u"-b"}, Then({kMorCleared}, BackupEntry(0x02)), 0x00},
      {"other product", [&] { Fw.SetSmbiosRecords({kBios, Product("Simulated Board"), kCpu}); }, {u"bios.bin"},
       kNormalEntry, 0xFF},
      {"other processor", [&] { Fw.SetSmbiosRecords({kBios, kProduct, Cpu(0x000906EA)}); }, {u"bios.bin"},
       kNormalEntry, 0xFF},
      {"no SMBIOS at all, version check skipped", [&] { Fw.SetSmbiosInstances(0); }, {u"bios.bin", u"-d"},
       kNormalEntry, 0xFF},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.Name);
    Fw.SetSmbiosInstances(1);
    Fw.SetSmbiosRecords(SupportedPlatform());
    Fw.BootVolume().RemoveFile("State.dat");
    PutMor(sim::Variable{kNvBsRt, {0xFF}});
    C.Setup();
    Expect(Run(C.Words), {EFI_SUCCESS, C.Words.size() == 2 && C.Words[1] == u"-b" ? "@" : "1", "", C.Board});
    ASSERT_TRUE(Mor().has_value());
    EXPECT_EQ(Mor()->Data, std::vector<uint8_t>{C.MorAfter});
    EXPECT_EQ(Mor()->Attributes, kNvBsRt);
  }
}

}  // namespace
}  // namespace tamsork_test
