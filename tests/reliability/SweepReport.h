// Failure reporting for the sweeps: one sweep makes thousands of launches,
// and one fault in the application breaks the same rule at many of them.
// The first few breaks of each rule per launch are reported in full, the
// rest only counted, so a failing run stays readable.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "reliability/UpdateRules.h"

namespace tamsork_reliability {

class Reporter {
 public:
  void Add(const std::string &Launch, const std::string &Where, const std::vector<Violation> &Found) {
    for (const Violation &V : Found) {
      int &Seen = Shown_[Launch + "\n" + V.Rule];
      Totals_[V.Rule]++;
      if (Seen++ < kShownPerRule) {
        ADD_FAILURE() << Launch << ", " << Where << ": " << V.Rule << ": " << V.Detail;
      }
    }
  }
  void PrintTotals() const {
    for (const auto &[Rule, Count] : Totals_) {
      std::printf("  broken %-40s %6llu time(s)\n", Rule.c_str(), static_cast<unsigned long long>(Count));
    }
  }

 private:
  static constexpr int kShownPerRule = 3;
  std::map<std::string, int> Shown_;
  std::map<std::string, uint64_t> Totals_;
};

inline std::string StatusText(EFI_STATUS S) {
  char Text[32];
  std::snprintf(Text, sizeof Text, "0x%llX", static_cast<unsigned long long>(S));
  return Text;
}

}  // namespace tamsork_reliability
