// The SMBIOS string look-up and record walk on tables built from the input:
// well-formed records (a type, a formatted area of any length and content,
// then non-empty strings and the closing NULs) as firmware hands them out,
// each laid out by the simulator in a block of its own size. The answers of
// GetSmbiosString, GetDeviceVersion and CheckPlatform are compared with a
// reading of the records as built.
//
// Input: a record count, then per record a type selector, a formatted
// length and its bytes, a string count and per string a length and its
// characters.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/checks/Platform.h"
#include "app/checks/Smbios.h"
#include "app/checks/VersionGate.h"

namespace {

using tamsork_fuzz::Input;

constexpr size_t kMaxRecords = 8;
constexpr size_t kMaxStrings = 7;
constexpr size_t kMaxStringLength = 40;
constexpr size_t kMaxFormatted = 0xFF - sizeof(EFI_SMBIOS_TABLE_HEADER);

std::vector<sim::SmbiosRecord> RecordsFrom(Input &In) {
  std::vector<sim::SmbiosRecord> Records(In.Byte() % (kMaxRecords + 1));
  for (sim::SmbiosRecord &R : Records) {
    // Mostly the three types the application reads.
    const uint8_t Selector = In.Byte();
    R.Type = Selector < 64    ? SMBIOS_TYPE_BIOS_INFORMATION
             : Selector < 128 ? SMBIOS_TYPE_SYSTEM_INFORMATION
             : Selector < 192 ? SMBIOS_TYPE_PROCESSOR_INFORMATION
                              : In.Byte();
    R.Formatted = In.Bytes(In.Byte() % (kMaxFormatted + 1));
    const size_t Strings = In.Byte() % (kMaxStrings + 1);
    for (size_t I = 0; I < Strings; I++) {
      std::vector<uint8_t> Chars = In.Bytes(1 + In.Byte() % kMaxStringLength);
      std::string S;
      for (uint8_t C : Chars) {
        S += static_cast<char>(C != 0 ? C : '?');  // a NUL would end the string early
      }
      R.Strings.push_back(S.empty() ? "?" : S);
    }
  }
  return Records;
}

// The string-number field at structure offset Offset; 0 when the record is
// too short to hold it.
uint8_t StringNumber(const sim::SmbiosRecord &R, size_t Offset) {
  const size_t Index = Offset - sizeof(EFI_SMBIOS_TABLE_HEADER);
  return Index < R.Formatted.size() ? R.Formatted[Index] : 0;
}

std::u16string Widened(const std::string &S) {
  std::u16string Out;
  for (char C : S) {
    Out += static_cast<char16_t>(static_cast<uint8_t>(C));
  }
  return Out;
}

std::u16string StringOf(const sim::SmbiosRecord &R, uint8_t Number) {
  if (Number == 0) {
    return u"";
  }
  if (Number > R.Strings.size()) {
    return SMBIOS_MISSING_STRING;
  }
  return Widened(R.Strings[Number - 1]);
}

struct Version {
  EFI_STATUS Status = EFI_NOT_FOUND;
  UINTN Major = 255, Minor = 255;
};

Version DeviceVersionOf(const std::vector<sim::SmbiosRecord> &Records) {
  for (const sim::SmbiosRecord &R : Records) {
    if (R.Type != SMBIOS_TYPE_BIOS_INFORMATION) {
      continue;
    }
    // "<c><d>.<dd>" and no digit after it, or no version at all.
    const std::u16string S = StringOf(R, StringNumber(R, SMBIOS_BIOS_VERSION_OFFSET));
    const auto Digit = [&](size_t At) { return At < S.size() && S[At] >= u'0' && S[At] <= u'9'; };
    if (S.size() < 5 || !Digit(1) || S[2] != u'.' || !Digit(3) || !Digit(4) || Digit(5)) {
      return {};
    }
    return {EFI_SUCCESS, UINTN(S[1] - u'0'), UINTN((S[3] - u'0') * 10 + (S[4] - u'0'))};
  }
  return {};
}

EFI_STATUS PlatformOf(const std::vector<sim::SmbiosRecord> &Records) {
  bool Product = false, Processor = false;
  for (const sim::SmbiosRecord &R : Records) {
    if (R.Type == SMBIOS_TYPE_SYSTEM_INFORMATION) {
      const std::u16string Name = StringOf(R, StringNumber(R, SMBIOS_PRODUCT_NAME_OFFSET));
      bool Supported = false;
      for (const CHAR16 *Known : SUPPORTED_PRODUCT_NAMES) {
        Supported = Supported || Name.compare(0, SUPPORTED_PRODUCT_NAME_LENGTH, Known) == 0;
      }
      if (!Supported) {
        return EFI_NOT_FOUND;
      }
      Product = true;
    } else if (R.Type == SMBIOS_TYPE_PROCESSOR_INFORMATION) {
      const size_t Id = SMBIOS_PROCESSOR_ID_OFFSET - sizeof(EFI_SMBIOS_TABLE_HEADER);
      uint32_t Signature = 0;
      if (R.Formatted.size() >= Id + 4) {
        Signature = R.Formatted[Id] | (R.Formatted[Id + 1] << 8) | (R.Formatted[Id + 2] << 16) |
                    (static_cast<uint32_t>(R.Formatted[Id + 3]) << 24);
      }
      if (Signature != SUPPORTED_CPU_SIGNATURE) {
        return EFI_NOT_FOUND;
      }
      Processor = true;
    } else {
      continue;
    }
    if (Product && Processor) {
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

std::string Narrow(const std::u16string &S) { return sim::ToUtf8(S); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  // One machine for the whole run: only its SMBIOS table changes.
  static sim::Firmware Fw;
  Input In(Data, Size);
  const std::vector<sim::SmbiosRecord> Records = RecordsFrom(In);
  Fw.SetSmbiosRecords(Records);

  tamsork_fuzz::Within(Fw, [&] {
    // Each string of each record, one number past the last, and the largest.
    EFI_SMBIOS_PROTOCOL *Smbios = nullptr;
    FUZZ_REQUIRE(LocateSmbiosProtocol(&Smbios) == EFI_SUCCESS, "no SMBIOS protocol");
    EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
    EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
    for (const sim::SmbiosRecord &R : Records) {
      FUZZ_REQUIRE(SmbiosNextRecord(Smbios, &Handle, &Record) == EFI_SUCCESS, "the walk ended early");
      FUZZ_REQUIRE(Record->Type == R.Type, "the walk gave another record");
      std::vector<uint8_t> Numbers;
      for (size_t N = 0; N <= R.Strings.size() + 1; N++) {
        Numbers.push_back(static_cast<uint8_t>(N));
      }
      Numbers.push_back(0xFF);
      for (uint8_t N : Numbers) {
        CHAR16 *Got = nullptr;
        FUZZ_REQUIRE(GetSmbiosString(SmbiosStringArea(Record), N, &Got) == EFI_SUCCESS, "GetSmbiosString failed");
        FUZZ_REQUIRE(Got != nullptr, "no string and no exhausted pool");
        const std::u16string Want = StringOf(R, N);
        FUZZ_REQUIRE(std::u16string(Got) == Want,
                     "string " + std::to_string(N) + ": \"" + Narrow(Got) + "\", built as \"" + Narrow(Want) + "\"");
        FreeSmbiosString(Got);
      }
    }
    FUZZ_REQUIRE(SmbiosNextRecord(Smbios, &Handle, &Record) != EFI_SUCCESS, "the walk went past the last record");

    const Version Want = DeviceVersionOf(Records);
    Version Got;
    Got.Status = GetDeviceVersion(&Got.Major, &Got.Minor);
    FUZZ_REQUIRE(Got.Status == Want.Status && Got.Major == Want.Major && Got.Minor == Want.Minor,
                 "device version " + std::to_string(Got.Major) + "." + std::to_string(Got.Minor) +
                     ", from the records " + std::to_string(Want.Major) + "." + std::to_string(Want.Minor));

    FUZZ_REQUIRE(CheckPlatform() == PlatformOf(Records), "platform check disagrees with the records");
    return EFI_SUCCESS;
  });
  tamsork_fuzz::RequireNothingLeft(Fw);
  return 0;
}
