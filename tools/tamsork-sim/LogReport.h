// tamsork log: one or more Tamsork.log files summed up per machine, as
// text for people and as JSON for scripts. The files are read a piece at a
// time and only what the report shows is kept, so a fleet's logs, or a
// damaged file of any size, are read in bounded memory.
#pragma once

#include <cstdio>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "tools/tamsork-sim/LogReader.h"

namespace tamsork_sim {

// Where an update stands after a line.
struct LogOutcome {
  // done, done-unchecked, not-finished, failed, refused, under-way,
  // given-up, log-full or unknown-step.
  std::string Code;
  std::string Text;  // in words, for example "failed: the BIOS ran V1.05, the image held 1.06"
};
LogOutcome OutcomeOf(const LogFields &Last);

// A line of one of the files read: the file's index and the line's number.
struct LogPlace {
  size_t Log = 0;
  size_t Line = 0;
};

// One update of a machine: from its begin line to the line that ended it,
// or to the machine's last line before it was begun again or the logs end.
struct LogRound {
  LogPlace From, To;
  LogOutcome Outcome;
  bool Ended = false;    // done, failed or given up
  bool Renewed = false;  // begun again before it ended
};

// One machine: the lines with its exact serial number and UUID. Boards
// that share a placeholder serial differ in UUID, so they stay apart. Of
// its last line only the text is kept (a fleet has tens of thousands of
// machines); Last() reads it again.
struct MachineLog {
  std::u16string FirstTime, BiosBefore;  // from its first line
  std::vector<std::u16string> Files;     // each once, in the order first used
  std::vector<std::u16string> Switches;
  size_t Launches = 0;
  std::vector<LogRound> Rounds;
  std::string LastText;
  LogPlace LastAt;

  LogFields Last() const { return *ParseLogLine(LastText).Fields; }
};

struct LogSource {
  std::string Path;
  size_t Lines = 0, Records = 0, Unreadable = 0, LfOnly = 0;
  std::optional<size_t> FullAt;
};

// The unreadable lines shown by file and line; the rest are only counted.
inline constexpr size_t kShownUnreadable = 10;

// Takes the files one after another. Records reach OnRecord as they are
// read (the JSON writes them out at once); machines are summed up in the
// order of their first lines.
class LogSummary final : public LogSink {
 public:
  using RecordFn = void (*)(void *Context, const LogSummary &, const LogPlace &, const LogFields &);
  LogSummary(RecordFn OnRecord = nullptr, void *Context = nullptr) : OnRecord(OnRecord), Context(Context) {}

  // Reads Stream to its end as the file Path; false on a read error.
  bool ReadFile(const std::string &Path, std::FILE *Stream);
  // Reads bytes held in memory as the file Path.
  void ReadBytes(const std::string &Path, std::string_view Bytes);
  // The logs are over: each machine's open round and outcome are settled.
  void Close();

  std::vector<LogSource> Sources;
  std::vector<std::pair<LogPlace, std::string>> Shown;  // the first kShownUnreadable
  size_t Unreadable = 0;
  size_t Records = 0;
  std::vector<MachineLog> Machines;

  void Record(size_t Line, std::string_view Text, LogFields &&Fields) override;
  void Problem(size_t Line, std::string &&Error) override;

 private:
  // A file's scanner, and its counts once its bytes are over.
  LogScanner Begin(const std::string &Path);
  void End(LogScanner &Scanner);

  RecordFn OnRecord;
  void *Context;
  // The machines by serial and UUID: the serial's length, the serial, the
  // UUID (a line is shorter than 64 Ki units, so the length fits one).
  std::unordered_map<std::u16string, size_t> Index;
};

// The text report, written to Out a machine at a time.
void LogText(const LogSummary &Summary, std::FILE *Out);

// The JSON report, written as it goes: the records as they are read, then
// the files, the unreadable lines and the machines.
class LogJsonWriter {
 public:
  explicit LogJsonWriter(std::FILE *Out) : Out(Out) {}
  static void OnRecord(void *Self, const LogSummary &, const LogPlace &, const LogFields &);
  // Everything after the records; once the summary is closed.
  void Finish(const LogSummary &Summary);

 private:
  std::FILE *Out;
  bool Started = false;
  std::string Buffer;
};

}  // namespace tamsork_sim
