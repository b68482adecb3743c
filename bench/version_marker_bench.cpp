// Throughput of the version-marker search over a 32 MiB image, side by
// side with glibc's memmem looking for the anchor alone, in one run; and
// the zero fill of a buffer that size, as AllocateZeroPool does before the
// image is read: the EFI build's memset next to a byte-at-a-time loop.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "app/checks/VersionMarker.h"

#include "kit/src/efi/CrtRenamed.h"

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

void BM_ZeroFill(benchmark::State &State) {
  std::vector<UINT8> Buffer(kImageSize, 0xFF);
  for (auto _ : State) {
    if (State.range(0) != 0) {
      CrtMemset(Buffer.data(), 0, Buffer.size());
    } else {
      volatile UINT8 *Bytes = Buffer.data();
      for (size_t I = 0; I < Buffer.size(); I++) {
        Bytes[I] = 0;
      }
    }
    benchmark::ClobberMemory();
  }
  if (Buffer[Buffer.size() - 1] != 0) {
    State.SkipWithError("the buffer was not zeroed");
  }
  State.SetBytesProcessed((int64_t)State.iterations() * (int64_t)Buffer.size());
}

}  // namespace

BENCHMARK(BM_FindVersionMarker)->ArgName("marker")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GlibcMemmemAnchor)->ArgName("marker")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZeroFill)->ArgName("crt_memset")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
