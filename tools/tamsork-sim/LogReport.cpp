#include "tools/tamsork-sim/LogReport.h"

#include <map>
#include <nlohmann/json.hpp>

namespace tamsork_sim {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kLabelWidth = 16;

void AddOnce(std::vector<std::u16string> &List, const std::u16string &Value) {
  for (const std::u16string &V : List) {
    if (V == Value) {
      return;
    }
  }
  List.push_back(Value);
}

// What a start that refused says about why, by its step word.
struct Refusal {
  const char16_t *Step;
  const char *Why;
};
constexpr Refusal kRefusals[] = {
    {u"refused-folder", "started away from the root of the stick"},
    {u"refused-name", "the image name was empty"},
    {u"refused-version", "the version check refused the image or could not read a version"},
    {u"refused-checksum", "the image does not match its .sha256 file (a damaged copy)"},
    {u"refused-machine", "State.dat holds an update begun on another machine"},
    {u"refused-image", "State.dat holds an update of another image"},
    {u"no-tool", "the flash tool is not where the Shell looks for it"},
    {u"other-mode", "State.dat holds a step of the other mode"},
    {u"unknown-state", "State.dat holds a byte no update writes"},
    {u"state-unwritable", "State.dat could not be written"},
};

// The steps after which the update goes on at a later start.
struct Ongoing {
  const char16_t *Step;
  const char *What;
};
constexpr Ongoing kOngoing[] = {
    {u"begin", "update mode requested, the machine restarts"},
    {u"flash", "the flash tool started"},
    {u"flash-ended", "the flash tool returned; the machine must be restarted"},
    {u"reset-asked", "the board was asked to restart the machine"},
    {u"finish", "flashing finished, the board restarts the machine"},
    {u"manual-reset", "backup mode, waiting for update mode and a key"},
    {u"start-over", "backup mode started over, the machine restarts"},
    {u"no-key", "backup mode, the key at the prompt could not be read"},
    {u"wait-board", "backup mode, the board's own tools carry on"},
};

std::string Field(const LogFields &F, LogKey Key) { return LogQuote(F[Key]); }

std::string MachineName(const MachineLog &M) {
  if (!M.Serial.empty()) {
    return LogQuote(M.Serial);
  }
  return M.Uuid.empty() ? "with no serial and no uuid" : "with no serial, uuid " + LogQuote(M.Uuid);
}

std::string Join(const std::vector<std::u16string> &Items, bool Switches) {
  std::string Out;
  for (const std::u16string &S : Items) {
    Out += (Out.empty() ? "" : ", ") + (Switches && S.empty() ? std::string("none") : LogQuote(S));
  }
  return Out;
}

Json Strings(const std::vector<std::u16string> &Items) {
  Json Out = Json::array();
  for (const std::u16string &S : Items) {
    Out.push_back(LogUtf8(S));
  }
  return Out;
}

// "1 line", "2 lines".
std::string Count(size_t N, const std::string &Word) { return std::to_string(N) + " " + Word + (N == 1 ? "" : "s"); }

}  // namespace

LogOutcome OutcomeOf(const LogFields &Last) {
  const std::u16string &Step = Last[kLogStep];
  const std::string After = Field(Last, kLogAfter);
  if (Step == u"done") {
    return {"done", "done: the BIOS runs " + Field(Last, kLogBios) + ", the image's version"};
  }
  if (Step == u"done-unchecked") {
    return {"done-unchecked", "done without a version check"};
  }
  if (Step == u"refused-done") {
    return {"done", "done earlier; a later start with the stick left in was answered not to flash again"};
  }
  if (Step == u"unchecked") {
    return {"not-finished", "not finished: the last start could not check the version (State.dat kept)"};
  }
  if (Step == u"failed") {
    return {"failed", "failed: the BIOS ran " + Field(Last, kLogBios) +
                          (Last[kLogVersion].empty() ? "" : ", the image held " + Field(Last, kLogVersion))};
  }
  if (Step == u"give-up") {
    return {"given-up", "given up at the prompt: State.dat removed"};
  }
  if (Step == u"log-full") {
    return {"log-full", "the log is full: the step of this start is not recorded (State.dat then held " + After + ")"};
  }
  for (const Refusal &R : kRefusals) {
    if (Step == R.Step) {
      std::string Why = R.Why;
      if (Step == u"other-mode" || Step == u"unknown-state") {
        Why += " (" + Field(Last, kLogBefore) + ")";
      } else if (Step == u"state-unwritable") {
        Why += ": " + LogUtf8(Last[kLogOutcome]);
      }
      return {"refused", "refused (" + LogQuote(Step) + "): " + Why};
    }
  }
  for (const Ongoing &O : kOngoing) {
    if (Step == O.Step) {
      const std::string Outcome = LogUtf8(Last[kLogOutcome]);
      return {"under-way", "still under way at " + After + ": " + O.What +
                               (Step == u"flash-ended" && Outcome != "Success" ? " (status " + Outcome + ")" : "")};
    }
  }
  return {"unknown-step", "an unknown step " + LogQuote(Step) + " (State.dat then held " + After + ")"};
}

std::vector<MachineLog> SumUpMachines(const LogFile &File) {
  std::vector<MachineLog> Machines;
  std::map<std::u16string, size_t> BySerial, ByUuid;
  for (const LogRecord &R : File.Records) {
    const LogFields &F = R.Fields;
    auto &Index = F[kLogSerial].empty() ? ByUuid : BySerial;
    const std::u16string &Key = F[kLogSerial].empty() ? F[kLogUuid] : F[kLogSerial];
    auto [It, New] = Index.try_emplace(Key, Machines.size());
    if (New) {
      MachineLog M;
      M.FirstTime = F[kLogTime];
      M.BiosBefore = F[kLogBios];
      Machines.push_back(M);
    }
    MachineLog &M = Machines[It->second];
    M.Serial = F[kLogSerial];
    M.Product = F[kLogProduct];
    M.Uuid = F[kLogUuid];
    M.LastTime = F[kLogTime];
    M.BiosAfter = F[kLogBios];
    AddOnce(M.Files, F[kLogFile]);
    AddOnce(M.Switches, F[kLogSwitches]);
    // What came back of the tool or the board's reset is the same start's.
    M.Launches += F[kLogStep] == u"flash-ended" || F[kLogStep] == u"reset-asked" ? 0 : 1;
    M.Last = &R;
  }
  for (MachineLog &M : Machines) {
    M.Outcome = OutcomeOf(M.Last->Fields);
  }
  return Machines;
}

std::string LogText(const std::string &Path, const LogFile &File) {
  const std::vector<MachineLog> Machines = SumUpMachines(File);
  std::string Out = Path + ": " + Count(File.Lines, "line") + ", " + Count(File.Records.size(), "record") + ", " +
                    Count(Machines.size(), "machine");
  if (!File.Unreadable.empty()) {
    Out += "; " + Count(File.Unreadable.size(), "line") + " cannot be read";
  }
  Out += "\n";
  for (const LogProblem &P : File.Unreadable) {
    Out += "  line " + std::to_string(P.Line) + ": " + P.Error + "\n";
  }
  if (File.FullAt) {
    Out += "  line " + std::to_string(*File.FullAt) +
           ": step=log-full: the log is full, the starts after it were not recorded\n";
  }
  const auto Line = [&](const std::string &Label, const std::string &Value) {
    std::string Head = "  " + Label;
    Head.resize(2 + kLabelWidth, ' ');
    Out += Head + Value + "\n";
  };
  for (const MachineLog &M : Machines) {
    Out += "\nmachine " + MachineName(M) + "\n";
    Line("product", LogQuote(M.Product));
    Line("uuid", M.Uuid.empty() ? "none" : LogQuote(M.Uuid));
    Line("time", LogQuote(M.FirstTime) + (M.Launches > 1 ? " to " + LogQuote(M.LastTime) : ""));
    Line("BIOS", LogQuote(M.BiosBefore) + " -> " + LogQuote(M.BiosAfter));
    Line("image", Join(M.Files, false));
    Line("switches", Join(M.Switches, true));
    Line("launches", std::to_string(M.Launches));
    Line("outcome", M.Outcome.Text + " (line " + std::to_string(M.Last->Line) + ")");
  }
  return Out;
}

std::string LogJson(const std::string &Path, const LogFile &File) {
  Json J;
  J["command"] = "log";
  J["file"] = Path;
  J["lines"] = File.Lines;
  Json Unreadable = Json::array();
  for (const LogProblem &P : File.Unreadable) {
    Unreadable.push_back({{"line", P.Line}, {"error", P.Error}});
  }
  J["unreadable"] = Unreadable;
  J["log_full"] = File.FullAt ? Json{{"line", *File.FullAt}} : Json(nullptr);
  Json Machines = Json::array();
  for (const MachineLog &M : SumUpMachines(File)) {
    Json Item;
    Item["serial"] = LogUtf8(M.Serial);
    Item["product"] = LogUtf8(M.Product);
    Item["uuid"] = LogUtf8(M.Uuid);
    Item["first_time"] = LogUtf8(M.FirstTime);
    Item["last_time"] = LogUtf8(M.LastTime);
    Item["bios_before"] = LogUtf8(M.BiosBefore);
    Item["bios_after"] = LogUtf8(M.BiosAfter);
    Item["files"] = Strings(M.Files);
    Item["switches"] = Strings(M.Switches);
    Item["launches"] = M.Launches;
    Item["outcome"] = {{"code", M.Outcome.Code},
                       {"text", M.Outcome.Text},
                       {"step", LogUtf8(M.Last->Fields[kLogStep])},
                       {"state", LogUtf8(M.Last->Fields[kLogAfter])},
                       {"line", M.Last->Line}};
    Machines.push_back(Item);
  }
  J["machines"] = Machines;
  Json Records = Json::array();
  for (const LogRecord &R : File.Records) {
    Json Item;
    Item["line"] = R.Line;
    for (size_t K = 0; K < kLogKeyCount; K++) {
      Item[kLogKeys[K]] = LogUtf8(R.Fields[K]);
    }
    Records.push_back(Item);
  }
  J["records"] = Records;
  return J.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace tamsork_sim
