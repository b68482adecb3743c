// tamsork log: a Tamsork.log summed up per machine, as text for people
// and as JSON for scripts.
#pragma once

#include <string>
#include <vector>

#include "tools/tamsork-sim/LogReader.h"

namespace tamsork_sim {

// Where a machine's update stands after its last line.
struct LogOutcome {
  // done, done-unchecked, failed, refused, under-way, given-up, log-full or
  // unknown-step.
  std::string Code;
  std::string Text;  // in words, for example "failed: the BIOS ran V1.05, the image held 1.06"
};

// One machine: the lines with its serial number, or with its UUID when the
// serial is empty.
struct MachineLog {
  std::u16string Serial, Product, Uuid;  // from its last line
  std::u16string FirstTime, LastTime;
  std::u16string BiosBefore, BiosAfter;  // the first line's bios and the last one's
  std::vector<std::u16string> Files;     // each once, in the order first used
  std::vector<std::u16string> Switches;
  size_t Launches = 0;
  const LogRecord *Last = nullptr;
  LogOutcome Outcome;
};

// The machines in the order of their first lines.
std::vector<MachineLog> SumUpMachines(const LogFile &File);
LogOutcome OutcomeOf(const LogFields &Last);

std::string LogText(const std::string &Path, const LogFile &File);
std::string LogJson(const std::string &Path, const LogFile &File);

}  // namespace tamsork_sim
