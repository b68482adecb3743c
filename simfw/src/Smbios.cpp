// The SMBIOS table and the protocol's GetNext.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "Internal.h"

namespace sim {

namespace {

SmbiosRecord MakeRecord(uint8_t Type, size_t Length, std::vector<std::string> Strings) {
  SmbiosRecord R;
  R.Type = Type;
  R.Formatted.assign(Length - sizeof(EFI_SMBIOS_TABLE_HEADER), 0);
  R.Strings = std::move(Strings);
  return R;
}

// Sets the byte at structure offset Offset (header included).
void Put8(SmbiosRecord &R, size_t Offset, uint8_t Value) { R.Formatted.at(Offset - 4) = Value; }

void Put32(SmbiosRecord &R, size_t Offset, uint32_t Value) {
  for (size_t I = 0; I < 4; I++) {
    Put8(R, Offset + I, static_cast<uint8_t>(Value >> (8 * I)));
  }
}

EFI_STATUS GetNextCall(const EFI_SMBIOS_PROTOCOL *This, EFI_SMBIOS_HANDLE *SmbiosHandle, EFI_SMBIOS_TYPE *Type,
                       EFI_SMBIOS_TABLE_HEADER **Record, EFI_HANDLE *ProducerHandle, bool &End) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::SmbiosGetNext)) {
    return *Fault;
  }
  bool Ours = false;
  for (const auto &P : M.SmbiosInstances) {
    Ours = Ours || P.get() == This;
  }
  if (!Ours) {
    M.Misuse("SMBIOS GetNext: This is not an installed SMBIOS protocol");
    return EFI_INVALID_PARAMETER;
  }
  if (SmbiosHandle == nullptr || Record == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto &Table = M.SmbiosLaidOut;
  size_t Next = 0;
  if (*SmbiosHandle != SMBIOS_HANDLE_PI_RESERVED) {
    const auto It = std::find_if(Table.begin(), Table.end(), [&](const auto &S) { return S.Handle == *SmbiosHandle; });
    if (It == Table.end()) {
      return EFI_NOT_FOUND;  // no record has that handle
    }
    Next = static_cast<size_t>(It - Table.begin()) + 1;
  }
  for (size_t I = Next; I < Table.size(); I++) {
    const auto *Header = reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Table[I].Bytes.get());
    if (Type != nullptr && Header->Type != *Type) {
      continue;
    }
    *SmbiosHandle = Table[I].Handle;
    *Record = reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Table[I].Bytes.get());
    if (ProducerHandle != nullptr) {
      *ProducerHandle = M.SmbiosHandles.empty() ? nullptr : M.SmbiosHandles.front();
    }
    return EFI_SUCCESS;
  }
  *SmbiosHandle = SMBIOS_HANDLE_PI_RESERVED;
  End = true;
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI GetNextService(const EFI_SMBIOS_PROTOCOL *This, EFI_SMBIOS_HANDLE *SmbiosHandle,
                                 EFI_SMBIOS_TYPE *Type, EFI_SMBIOS_TABLE_HEADER **Record, EFI_HANDLE *ProducerHandle) {
  bool End = false;
  const EFI_STATUS Status = GetNextCall(This, SmbiosHandle, Type, Record, ProducerHandle, End);
  if (EFI_ERROR(Status)) {
    // The end of the table is told by the reserved handle: that output is
    // defined, and kept; any other failure leaves the handle undefined.
    if (!End) {
      PoisonValue(SmbiosHandle, static_cast<EFI_SMBIOS_HANDLE>(0xBAD0));
    }
    PoisonPointer(Record);
    PoisonHandle(ProducerHandle);
  }
  return Status;
}

}  // namespace

SmbiosRecord BiosInformation(const std::string &Version) {
  // SMBIOS 2.4 layout, 0x18 bytes: vendor, version, segment, release date,
  // ROM size, characteristics, then the release numbers.
  SmbiosRecord R = MakeRecord(0, 0x18, {"Simulated Firmware Vendor", Version, "01/01/2024"});
  Put8(R, 0x04, 1);     // Vendor
  Put8(R, 0x05, 2);     // BIOS Version
  Put8(R, 0x06, 0x00);  // Starting Address Segment 0xF000
  Put8(R, 0x07, 0xF0);
  Put8(R, 0x08, 3);     // BIOS Release Date
  Put8(R, 0x09, 0xFF);  // ROM size: see the extended field
  Put8(R, 0x0A, 0x08);  // Characteristics: bit 3, "not supported"
  Put8(R, 0x14, 1);     // System BIOS Major Release
  Put8(R, 0x15, 0);     // System BIOS Minor Release
  Put8(R, 0x16, 0xFF);  // no embedded controller
  Put8(R, 0x17, 0xFF);
  return R;
}

SmbiosRecord SystemInformation(const std::string &ProductName, const std::string &SerialNumber,
                               const std::array<uint8_t, 16> &Uuid) {
  // SMBIOS 2.4 layout, 0x1B bytes.
  SmbiosRecord R = MakeRecord(1, 0x1B, {"Simulated Maker", ProductName, "1.0"});
  Put8(R, 0x04, 1);  // Manufacturer
  Put8(R, 0x05, 2);  // Product Name
  Put8(R, 0x06, 3);  // Version
  if (!SerialNumber.empty()) {
    R.Strings.push_back(SerialNumber);
    Put8(R, 0x07, 4);  // Serial Number; 0: none
  }
  for (size_t I = 0; I < Uuid.size(); I++) {
    Put8(R, 0x08 + I, Uuid[I]);  // UUID
  }
  Put8(R, 0x18, 0x06);  // Wake-up Type: power switch
  return R;
}

SmbiosRecord ProcessorInformation(uint32_t Signature) {
  // SMBIOS 2.6 layout, 0x2A bytes.
  SmbiosRecord R = MakeRecord(4, 0x2A, {"CPU0", "Simulated Processor Maker", "Simulated Processor"});
  Put8(R, 0x04, 1);            // Socket Designation
  Put8(R, 0x05, 0x03);         // Processor Type: central processor
  Put8(R, 0x06, 0xB3);         // Processor Family
  Put8(R, 0x07, 2);            // Processor Manufacturer
  Put32(R, 0x08, Signature);   // Processor ID: the CPUID signature...
  Put32(R, 0x0C, 0xBFEBFBFF);  // ...and the feature flags
  Put8(R, 0x10, 3);            // Processor Version
  Put8(R, 0x18, 0x41);         // Status: populated, enabled
  Put8(R, 0x23, 4);            // Core Count
  Put8(R, 0x24, 4);            // Core Enabled
  Put8(R, 0x25, 8);            // Thread Count
  return R;
}

void Firmware::Impl::LayOutSmbios() {
  SmbiosLaidOut.clear();
  uint16_t Handle = 0;
  for (const SmbiosRecord &R : SmbiosTable) {
    std::vector<uint8_t> Bytes{R.Type, static_cast<uint8_t>(sizeof(EFI_SMBIOS_TABLE_HEADER) + R.Formatted.size()),
                               static_cast<uint8_t>(Handle & 0xFF), static_cast<uint8_t>(Handle >> 8)};
    Bytes.insert(Bytes.end(), R.Formatted.begin(), R.Formatted.end());
    if (R.RawStringArea) {
      Bytes.insert(Bytes.end(), R.RawStringArea->begin(), R.RawStringArea->end());
    } else {
      for (const std::string &S : R.Strings) {
        Bytes.insert(Bytes.end(), S.begin(), S.end());
        Bytes.push_back(0);
      }
      if (R.Strings.empty()) {
        Bytes.push_back(0);
      }
      Bytes.push_back(0);
    }
    SmbiosStructure S;
    S.Handle = Handle++;
    S.Size = Bytes.size();
    S.Bytes = std::make_unique<uint8_t[]>(Bytes.size());
    std::memcpy(S.Bytes.get(), Bytes.data(), Bytes.size());
    SmbiosLaidOut.push_back(std::move(S));
  }
}

void Firmware::SetSmbiosRecords(const std::vector<SmbiosRecord> &Records) {
  for (const SmbiosRecord &R : Records) {
    if (R.Formatted.size() > 0xFF - sizeof(EFI_SMBIOS_TABLE_HEADER)) {
      throw std::invalid_argument("an SMBIOS structure's formatted area cannot exceed 251 bytes");
    }
  }
  if (Records.size() >= SMBIOS_HANDLE_PI_RESERVED) {
    throw std::invalid_argument("too many SMBIOS records");
  }
  Impl_->SmbiosTable = Records;
  Impl_->LayOutSmbios();
}

std::vector<SmbiosRecord> Firmware::SmbiosRecords() const { return Impl_->SmbiosTable; }
std::optional<std::string> Firmware::PendingBiosVersion() const { return Impl_->PendingBiosVersion; }

void Firmware::Impl::BootFlashedBios() {
  if (!PendingBiosVersion) {
    return;
  }
  // The new firmware's type 0 carries the image's version; a record whose
  // version string cannot be found is replaced whole. Other types stay.
  for (SmbiosRecord &R : SmbiosTable) {
    if (R.Type != 0) {
      continue;
    }
    const size_t Number = R.Formatted.size() >= 2 ? R.Formatted[1] : 0;
    if (R.RawStringArea || Number == 0 || Number > R.Strings.size()) {
      R = BiosInformation(*PendingBiosVersion);
    } else {
      R.Strings[Number - 1] = *PendingBiosVersion;
    }
  }
  PendingBiosVersion.reset();
  LayOutSmbios();
}

EFI_SMBIOS_GET_NEXT SmbiosGetNextEntry() { return GetNextService; }

}  // namespace sim
