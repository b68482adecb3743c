// Throughput of the version-marker search over a 32 MiB image, side by
// side with glibc's memmem looking for the anchor alone, in one run; the
// SHA-256 of that image next to coreutils' sha256sum of the same bytes in a
// file; and the gate's whole read of that image on the simulated firmware,
// in pieces next to the one zero-filled read it replaced, and with the
// digest taken from the same read.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "app/checks/Sha256.h"
#include "app/checks/VersionGate.h"
#include "app/checks/VersionMarker.h"
#include "app/state/UpdateState.h"
#include "kit/Scoped.h"
#include "simfw/Firmware.h"
#include "simfw/Within.h"

namespace {

constexpr size_t kImageSize = 32u << 20;

// Random bytes without '$', as a stand-in for compressed firmware volumes;
// '$' is then placed at the rate it has in real images (about 1 in 256).
std::vector<UINT8> MakeImage(bool WithMarker) {
  std::vector<UINT8> Image(kImageSize);
  std::mt19937_64 Random(42);
  for (size_t I = 0; I < Image.size(); I += 8) {
    UINT64 Word = Random();
    std::memcpy(&Image[I], &Word, 8);
  }
  for (UINT8 &Byte : Image) {
    if (Byte == '$') {
      Byte = '#';
    }
  }
  for (size_t I = 977; I < Image.size(); I += 256 + (I % 17)) {
    Image[I] = '$';
  }
  if (WithMarker) {
    const char Marker[] = "$BVDT....$.a1.05";
    std::memcpy(&Image[Image.size() - 4096], Marker, sizeof(Marker) - 1);
  }
  return Image;
}

const std::vector<UINT8> &Image(bool WithMarker) {
  static const std::vector<UINT8> Without = MakeImage(false);
  static const std::vector<UINT8> With = MakeImage(true);
  return WithMarker ? With : Without;
}

void BM_FindVersionMarker(benchmark::State &State) {
  const std::vector<UINT8> &Data = Image(State.range(0) != 0);
  VERSION_MARKER Check{};
  if (FindVersionMarker(Data.data(), Data.size(), &Check) != (State.range(0) != 0) ||
      (State.range(0) != 0 && (Check.FieldOffset != Data.size() - 4096 + 9 || Check.Minor != 5))) {
    State.SkipWithError("search gives the wrong answer");
    return;
  }
  for (auto _ : State) {
    VERSION_MARKER Marker;
    benchmark::DoNotOptimize(FindVersionMarker(Data.data(), Data.size(), &Marker));
  }
  State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Data.size());
}

void BM_GlibcMemmemAnchor(benchmark::State &State) {
  const std::vector<UINT8> &Data = Image(State.range(0) != 0);
  for (auto _ : State) {
    benchmark::DoNotOptimize(memmem(Data.data(), Data.size(), "$BVDT", 5));
  }
  State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Data.size());
}

void BM_Sha256(benchmark::State &State) {
  const std::vector<UINT8> &Data = Image(true);
  UINT8 Digest[SHA256_DIGEST_SIZE];
  for (auto _ : State) {
    Sha256(Data.data(), Data.size(), Digest);
    benchmark::DoNotOptimize(Digest);
  }
  State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Data.size());
}

// sha256sum of the same 32 MiB in a file (in the page cache after the first
// run), the process started each time as a technician starts it.
void BM_CoreutilsSha256sum(benchmark::State &State) {
  const std::vector<UINT8> &Data = Image(true);
  char Path[] = "/tmp/tamsork-bench-XXXXXX";
  const int Fd = mkstemp(Path);
  FILE *File = Fd >= 0 ? fdopen(Fd, "wb") : nullptr;
  if (File == nullptr || fwrite(Data.data(), 1, Data.size(), File) != Data.size() || fclose(File) != 0) {
    State.SkipWithError("no file for sha256sum");
    return;
  }
  const std::string Command = std::string("sha256sum ") + Path + " > /dev/null";
  for (auto _ : State) {
    if (std::system(Command.c_str()) != 0) {
      State.SkipWithError("sha256sum failed");
      break;
    }
  }
  std::remove(Path);
  State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Data.size());
}

// The whole image read of the version gate on the simulated firmware, from
// the open of the file to its version: arg 0 is the read as it was (one
// zero-filled buffer, one Read of the whole file), arg 1 the gate's own
// ReadImage (pieces of IMAGE_READ_PIECE_SIZE into an unfilled buffer). Both
// take the same CRC-32 and the same marker search; arg 2 is ReadImage with
// the SHA-256 taken from the same buffer.
EFI_STATUS ReadWholeInOneRead(const CHAR16 *Name, IMAGE_FACTS *Facts) {
  ZeroMem(Facts, sizeof(*Facts));
  EFI_HANDLE Device = NULL;
  if (EFI_ERROR(GetBootDeviceHandle(gImageHandle, gST, &Device))) {
    return EFI_NOT_FOUND;
  }
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL> Path(FileDevicePath(Device, Name));
  EFI_DEVICE_PATH_PROTOCOL *Remaining = Path.Get();
  EFI_HANDLE Volume = NULL;
  EFI_FILE_PROTOCOL *Opened = NULL;
  if (EFI_ERROR(OpenFileByPath(gST, &Remaining, &Volume, &Opened, EFI_FILE_MODE_READ))) {
    return EFI_NOT_FOUND;
  }
  FileHandle File(Opened);
  UINTN Size = kImageSize;
  PoolPtr<UINT8> Data((UINT8 *)AllocateZeroPool(Size));
  if (!Data || File->Read(File.Get(), &Size, Data.Get()) != EFI_SUCCESS) {
    return EFI_NOT_FOUND;
  }
  UINT32 Crc = 0;
  gBS->CalculateCrc32(Data.Get(), Size, &Crc);
  Facts->Identity.Crc32 = Crc;
  VERSION_MARKER Marker;
  Facts->HasVersion = FindVersionMarker(Data.Get(), Size, &Marker);
  return EFI_SUCCESS;
}

void BM_ReadImage(benchmark::State &State) {
  sim::Firmware Fw;
  const std::vector<UINT8> &Data = Image(true);
  Fw.BootVolume().PutFile("bios.bin", Data);
  Fw.SetCommandLine({u"Tamsork.efi", u"bios.bin"});
  const bool Pieces = State.range(0) != 0;
  const BOOLEAN Digest = State.range(0) == 2;
  for (auto _ : State) {
    IMAGE_FACTS Facts;
    const EFI_STATUS Status = sim::LaunchWithin(Fw, [&] {
      return Pieces ? ReadImage(gImageHandle, gST, u"bios.bin", &Facts, Digest)
                    : ReadWholeInOneRead(u"bios.bin", &Facts);
    });
    if (Status != EFI_SUCCESS || !Facts.HasVersion) {
      State.SkipWithError("the image was not read");
      return;
    }
  }
  State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Data.size());
}

}  // namespace

BENCHMARK(BM_FindVersionMarker)->ArgName("marker")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GlibcMemmemAnchor)->ArgName("marker")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreutilsSha256sum)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadImage)->ArgName("pieces")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
