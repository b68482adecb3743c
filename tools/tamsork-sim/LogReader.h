// The reader of Tamsork.log, the record the application appends on the
// stick: one line per start, CR LF at its end (LF alone is read too: copies
// made through tools that convert line ends), key=value fields separated by
// one blank, always the same twelve keys in the same order. A value is bare
// (printable ASCII other than the blank, '"' and '\') or in double quotes,
// where a blank stands for itself and every other character is \xNN or
// \uNNNN. Pure code, no file or firmware access, so that a fuzz target can
// drive it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamsork_sim {

// The keys, in the order every line holds them.
enum LogKey : size_t {
  kLogTime,
  kLogSerial,
  kLogProduct,
  kLogUuid,
  kLogBios,
  kLogFile,
  kLogSwitches,
  kLogVersion,
  kLogBefore,
  kLogAfter,
  kLogStep,
  kLogOutcome,
  kLogKeyCount
};
inline constexpr std::array<const char *, kLogKeyCount> kLogKeys = {
    "time", "serial", "product", "uuid", "bios", "file", "switches", "version", "before", "after", "step", "outcome"};

// A line's values as the escapes give them: one UTF-16 code unit per
// character (\xNN and \uNNNN name code units 0 to 0xFFFF).
using LogFields = std::array<std::u16string, kLogKeyCount>;

// One line, its CR LF taken off: the fields, or why it is not a record
// line (one line of printable ASCII).
struct LogLineResult {
  std::optional<LogFields> Fields;
  std::string Error;
};
LogLineResult ParseLogLine(std::string_view Line);

struct LogRecord {
  size_t Line = 0;  // counted from 1
  LogFields Fields;
};
struct LogProblem {
  size_t Line = 0;
  std::string Error;
};

// The longest line read. The application's lines stay far below it (every
// value escaped six-fold still fits); a longer run of bytes is one
// unreadable line, skipped without being kept.
inline constexpr size_t kLogLineLimit = 64 * 1024;

// What a scanner hands on, line by line, as it reads.
class LogSink {
 public:
  // Text is the line as read, its line end taken off.
  virtual void Record(size_t Line, std::string_view Text, LogFields &&Fields) = 0;
  virtual void Problem(size_t Line, std::string &&Error) = 0;

 protected:
  ~LogSink() = default;
};

// Reads a log a piece at a time, keeping at most one line of it, so that
// a file of any size is read in bounded memory.
class LogScanner {
 public:
  explicit LogScanner(LogSink &Sink) : Sink(Sink) {}
  void Feed(std::string_view Bytes);
  // The bytes are over: a line left without its line end is torn.
  void End();

  size_t Lines() const { return Count; }
  // The lines that ended in LF alone.
  size_t LfOnly() const { return Lf; }
  // After End: the number of the last line when it is a record whose step
  // is log-full: the application wrote no line after it.
  std::optional<size_t> FullAt() const { return Full && *Full == Count ? Full : std::nullopt; }

 private:
  void Take(std::string_view Line);

  LogSink &Sink;
  std::string Pending;
  bool Overlong = false;
  size_t Count = 0, Lf = 0;
  std::optional<size_t> Full;
};

// A whole file in memory: every line that reads as a record, and every one
// that does not, with its number. A last line without its CR LF (torn by a
// power cut while it was written) is not a record.
struct LogFile {
  size_t Lines = 0;
  size_t LfOnly = 0;
  std::vector<LogRecord> Records;
  std::vector<LogProblem> Unreadable;
  // The number of the last line when it is a record whose step is
  // log-full: the application wrote no line after it.
  std::optional<size_t> FullAt;
};
LogFile ReadLog(std::string_view Bytes);

// The UTF-8 of a value; a lone surrogate becomes U+FFFD.
std::string LogUtf8(const std::u16string &Value);
// A value as the log writes it: bare when it can be, otherwise quoted with
// escapes. ASCII only, so it is safe on any terminal.
std::string LogQuote(const std::u16string &Value);

}  // namespace tamsork_sim
