// Shared by the fuzz targets: a reader of the fuzz input, running code
// inside a launch on the simulated firmware, and stopping with a message
// when a property does not hold (libFuzzer then saves the input).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kit/Library.h"
#include "reliability/UpdateRules.h"
#include "simfw/Firmware.h"
#include "simfw/Within.h"

namespace tamsork_fuzz {

[[noreturn]] inline void Fail(const std::string &What) {
  std::fprintf(stderr, "\nfuzz property broken: %s\n", What.c_str());
  std::fflush(stderr);
  std::abort();
}

// The message is built only when the property fails.
#define FUZZ_REQUIRE(Condition, Message) \
  do {                                   \
    if (!(Condition)) {                  \
      ::tamsork_fuzz::Fail(Message);     \
    }                                    \
  } while (false)

// Takes the input apart front to back; past the end every read gives zeros,
// so any input is a valid one.
class Input {
 public:
  Input(const uint8_t *Data, size_t Size) : Data_(Data), Size_(Size) {}

  size_t Left() const { return Size_ - At_; }
  uint8_t Byte() { return At_ < Size_ ? Data_[At_++] : 0; }
  uint16_t Word() {
    const uint16_t Low = Byte();
    return static_cast<uint16_t>(Low | (Byte() << 8));
  }
  std::vector<uint8_t> Bytes(size_t Count) {
    Count = Count < Left() ? Count : Left();
    std::vector<uint8_t> Out(Data_ + At_, Data_ + At_ + Count);
    At_ += Count;
    return Out;
  }
  std::vector<uint8_t> Rest() { return Bytes(Left()); }
  // Count UCS-2 characters, little-endian.
  std::u16string Chars(size_t Count) {
    std::u16string Out;
    for (size_t I = 0; I < Count && Left() > 0; I++) {
      Out += static_cast<char16_t>(Word());
    }
    return Out;
  }

 private:
  const uint8_t *Data_;
  size_t Size_;
  size_t At_ = 0;
};

// Runs Body inside a launch on Fw, with the kit's globals set as the entry
// glue sets them, so single functions of the application can be called.
inline EFI_STATUS Within(sim::Firmware &Fw, std::function<EFI_STATUS()> Body) {
  return sim::LaunchWithin(Fw, std::move(Body));
}

// Nothing the launch just made took is still held, and the firmware refused
// nothing it was asked.
inline void RequireNothingLeft(const sim::Firmware &Fw) {
  FUZZ_REQUIRE(Fw.LivePoolBlocks() == 0, std::to_string(Fw.LivePoolBlocks()) + " pool block(s) left allocated");
  FUZZ_REQUIRE(Fw.OpenFileHandles() == 0, std::to_string(Fw.OpenFileHandles()) + " file handle(s) left open");
  FUZZ_REQUIRE(Fw.BadFrees() == 0, "free of a foreign pointer");
  FUZZ_REQUIRE(Fw.Misuses().empty(), "firmware misuse: " + Fw.Misuses().front());
  FUZZ_REQUIRE(Fw.StdErrText().empty(), "assertion report: " + Fw.StdErrText());
}

// Every rule of a launch (see tests/reliability/UpdateRules.h).
inline void RequireRules(const sim::Firmware &Fw, EFI_STATUS Status, const tamsork_reliability::Allowed &A) {
  const auto Broken = tamsork_reliability::CheckLaunch(Fw, Status, A);
  if (!Broken.empty()) {
    std::string Text;
    for (const auto &V : Broken) {
      Text += "\n  " + V.Rule + ": " + V.Detail;
    }
    Fail("launch rules:" + Text);
  }
}

}  // namespace tamsork_fuzz
