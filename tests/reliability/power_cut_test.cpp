// The power-cut sweep: every launch of an update, cut off at each of its
// firmware calls in turn, then carried on as an operator would: reboot,
// launch again with the same words, press a key where asked, until the
// update ends or waits for someone. Every launch of each chain keeps the
// rules of UpdateRules.h; across the chain the flash tool runs at most once
// per update, and wherever the chain stops, the documented operator steps
// (answering the 'G' prompt, deleting State.dat, putting the flash tool
// back) start the next update or carry this one on. The image is newer
// than the running BIOS and the flash tool flashes it, so a cut that keeps
// the tool from running ends as a failed update, never as done. Wherever
// the cuts fall, Tamsork.log keeps its lines: after the update each one is
// a record line on a line of its own, but for at most one torn by a cut.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "reliability/SweepReport.h"
#include "reliability/UpdateRules.h"

namespace tamsork_reliability {
namespace {

// Launches after the cut before a chain counts as going round in circles.
constexpr int kChainBound = 8;

enum class Ending {
  Finished,         // "BIOS Update done!"
  Failed,           // "BIOS Update failed": the flash did not take; the operator deletes State.dat
  StartedOver,      // the state file was gone mid-update, a new update began and ran
  Aborted,          // backup 'G' answered with another key: the update given up, as asked
  WaitingBoard,     // backup 'B': the board's own tools carry on
  WaitingOperator,  // backup 'G': the operator answers the prompt
  WaitingForeign,   // a state the mode does not act on: the operator deletes State.dat
  Refused,          // State.dat of another machine or image: the operator deletes it
  NoTool,           // the Shell finds no flash tool: the operator puts it back
  Loops,            // none of these within the bound
  Count
};

const char *EndingName(Ending E) {
  static constexpr const char *kNames[] = {"finished", "failed", "started over", "aborted", "waiting: board ('B')",
                                           "waiting: operator ('G')", "waiting: foreign state",
                                           "refused: another machine or image", "waiting: flash tool", "loops"};
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Ending::Count));
  return kNames[static_cast<size_t>(E)];
}

bool Empty(const FileContent &C) { return !C || C->empty(); }

uint8_t First(const FileContent &C) { return Empty(C) ? 0 : (*C)[0]; }

// Where the update stands between launches, when no launch in this mode
// would move it on by itself: done, a byte of the other mode or of none, the 'G'
// prompt (the table's step for it without a key is the failed read; one of
// another machine is refused instead), 'B'.
std::optional<Ending> Waiting(bool Backup, const FileContent &State, const MachineFacts &F) {
  // The update ended, its "done" logged: the next start asks before it
  // flashes the same image again.
  if (Empty(State) && F.DoneLogged) {
    return Ending::Finished;
  }
  const Step Next = ExpectedStep(F, Backup, State, std::nullopt);
  if (Next.Status == EFI_INVALID_PARAMETER || (Backup && First(State) == kBackupFlashStarted)) {
    return Next.Status == EFI_INVALID_PARAMETER ? Ending::WaitingForeign : Ending::WaitingBoard;
  }
  if (Backup && First(State) == kBackupResetPending && Next.Status == F.KeyFailure) {
    return Ending::WaitingOperator;
  }
  return std::nullopt;
}

// The bookkeeping of one update across the launches of a chain.
struct Update {
  int Flashes = 0;          // flash tool runs in this update
  bool Signalled = false;   // the board was told to enter update mode
  bool Progressed = false;  // a state byte was on the medium at some point
  bool PastFlash = false;   // the state says the flash tool has run
};

bool SaysFlashed(bool Backup, const FileContent &State) {
  const uint8_t B = First(State);
  return Backup ? B == kBackupFlashStarted : (B == kFlashStarted || B == kFlashFinished);
}

// An update found at State before the chain: what earlier launches did.
Update UpdateFoundAt(bool Backup, const FileContent &State) {
  Update U;
  U.Progressed = !Empty(State);
  U.Signalled = U.Progressed;
  U.PastFlash = SaysFlashed(Backup, State);
  U.Flashes = U.PastFlash ? 1 : 0;
  return U;
}

// Where a launch that ran to its end leaves the update, if it ends or waits
// there.
std::optional<Ending> EndOf(const Step &Got) {
  if (Got.Done || Got.Failed) {
    return Got.Done ? Ending::Finished : Ending::Failed;
  }
  const bool Moved = Got.Signals || Got.Flashes || Got.ResetsBoard;
  if (!Moved && (Got.Status == EFI_ABORTED || Got.Status == EFI_NOT_FOUND)) {
    return Got.Status == EFI_ABORTED ? Ending::Refused : Ending::NoTool;
  }
  return std::nullopt;
}

struct ChainResult {
  Ending End = Ending::Loops;
  int Launches = 0;     // after the cut
  int MostFlashes = 0;  // in any one update
  // The tool ran in an update whose board signal the cut had cut short.
  bool FlashedUnsignalled = false;
  // The state moved past the flash without the tool having run: the cut
  // came between the state byte reaching the medium and the tool's start.
  bool ToolStartLost = false;
};

// The whole update-mode signal reached the board in the launch just made:
// both bytes of the sequence, and in backup mode the backup request bit.
bool SignalComplete(const sim::Firmware &Fw, bool Backup) {
  bool First = false, Second = false, BackupBit = !Backup;
  for (const auto &[Port, Value] : Fw.PortWrites()) {
    if (Port == kBoardUpdatePort) {
      First = First || Value == kBoardUpdateFirst;
      Second = Second || (First && Value == kBoardUpdateSecond);
    } else if (Port == kBoardControlPort) {
      BackupBit = BackupBit || (Value & kBackupRequestBit) != 0;
    }
  }
  return First && Second && BackupBit;
}

class Chain {
 public:
  Chain(sim::Firmware &Fw, const Launch &L, Reporter &Report, uint64_t CutAt)
      : Fw_(Fw), L_(L), Report_(Report), CutAt_(CutAt) {}

  // The launch under test, cut at call CutAt, then the launches after it.
  ChainResult Run(const Step &Whole) {
    const FileContent Before = StateOnMedium(Fw_), Log = LogOnMedium(Fw_);
    U_ = UpdateFoundAt(L_.Backup, Before);
    // A cut past the last call takes the machine down once the launch is over.
    Fw_.CutPowerAtCall(CutAt_);
    const EFI_STATUS Status = Fw_.Launch();
    if (Fw_.PowerWasCut() != (CutAt_ <= Fw_.CallCount())) {
      Add("cut", {{"power cut", "the cut did not happen"}});
    }
    Add("cut launch", CheckLaunch(Fw_, Status, {L_.Backup, Before, PossibleStates(Before, Whole), Log}));
    Observe();
    std::optional<Ending> End = Fw_.PowerWasCut() ? std::nullopt : EndOf(ObservedStep(Fw_, Status));
    Fw_.Reboot();
    if (L_.Backup && !Whole.After.Bytes && Empty(StateOnMedium(Fw_))) {
      Result_.End = Ending::Aborted;
      return Finish();
    }

    for (Result_.Launches = 0; !End; Result_.Launches++) {
      const FileContent State = StateOnMedium(Fw_), Log = LogOnMedium(Fw_);
      if ((End = Waiting(L_.Backup, State, FactsOf(Fw_)))) {
        break;
      }
      if (Result_.Launches == kChainBound) {
        Add("chain", {{"bound", "no end after " + std::to_string(kChainBound) + " launches"}});
        Result_.End = Ending::Loops;
        return Result_;
      }
      if (Empty(State) && U_.Progressed) {
        StartedOver_ = true;
        U_ = Update{};
      }
      // The one prompt on the way: "Press ANY key to Reset!".
      if (L_.Backup && First(State) == kBackupRequested) {
        Fw_.QueueKey(sim::EnterKey());
      }
      const EFI_STATUS Next = Fw_.Launch();
      const Step Want = ExpectedStep(FactsOf(Fw_), L_.Backup, State, u'\r');
      const Step Got = ObservedStep(Fw_, Next);
      const std::string Where = "launch " + std::to_string(Result_.Launches + 1) + " after the cut";
      if (!SameStep(Got, Want)) {
        Add(Where, {{"step", DescribeStep(Got) + "; expected " + DescribeStep(Want)}});
      }
      Add(Where, CheckLaunch(Fw_, Next, {L_.Backup, State, {Want.After}, Log}));
      Observe();
      End = EndOf(Got);
      Fw_.Reboot();
    }
    Result_.End = *End;
    return Finish();
  }

 private:
  // Counts what the launch just made did to the update.
  void Observe() {
    U_.Signalled = U_.Signalled || SignalComplete(Fw_, L_.Backup);
    for (const sim::Event &E : Fw_.Events()) {
      if (E.What == sim::Event::Kind::Execute) {
        U_.Flashes++;
        Result_.FlashedUnsignalled = Result_.FlashedUnsignalled || !U_.Signalled;
        if (U_.Flashes > 1 || U_.PastFlash) {
          Add("chain", {{"flash once", "the flash tool ran again in the same update"}});
        }
      }
    }
    const FileContent After = StateOnMedium(Fw_);
    U_.Progressed = U_.Progressed || !Empty(After);
    U_.PastFlash = U_.PastFlash || SaysFlashed(L_.Backup, After);
    Result_.MostFlashes = std::max(Result_.MostFlashes, U_.Flashes);
  }

  // Where the chain stopped short of "done", the next update must be able
  // to begin; a chain that began a new update on the way is reported as
  // having started over, wherever it stopped.
  ChainResult Finish() {
    Result_.ToolStartLost = U_.PastFlash && U_.Flashes == 0;
    if (Result_.End != Ending::Finished) {
      LeaveByOperator();
    }
    if (StartedOver_) {
      Result_.End = Ending::StartedOver;
    }
    if (const auto Torn = TornLines(LogOnMedium(Fw_))) {
      Add("after the update", {{"log lines", "Tamsork.log holds more than one line that is no record: " + *Torn}});
    }
    return Result_;
  }

  // From where the chain stopped, the operator's documented step must move
  // the update on at the next launch: answering 'G' with another key removes
  // the state file; a flash tool put back lets the update go on; deleting
  // State.dat is the step for the other stops; an aborted update needs none.
  void LeaveByOperator() {
    if (Result_.End == Ending::Aborted) {
      // Nothing to do: the state file is gone already.
    } else if (Result_.End == Ending::WaitingOperator) {
      Fw_.QueueKey(sim::CharKey(u'n'));
      const FileContent State = StateOnMedium(Fw_), Log = LogOnMedium(Fw_);
      const EFI_STATUS Status = Fw_.Launch();
      Add("answering 'G'", CheckLaunch(Fw_, Status, {L_.Backup, State, {std::nullopt}, Log}));
      Fw_.Reboot();
    } else if (Result_.End == Ending::NoTool) {
      Fw_.BootVolume().PutFile(sim::kFlashToolName, "MZ flash tool");
    } else {
      Fw_.BootVolume().RemoveFile(kStateFile);
    }
    const FileContent State = StateOnMedium(Fw_), Log = LogOnMedium(Fw_);
    const EFI_STATUS Status = Fw_.Launch();
    const Step Got = ObservedStep(Fw_, Status);
    const Step Want = ExpectedStep(FactsOf(Fw_), L_.Backup, State, u'\r');
    Add("after the operator's step", CheckLaunch(Fw_, Status, {L_.Backup, State, {Want.After}, Log}));
    if (!SameStep(Got, Want) || !(Got.Signals || Got.Flashes)) {
      Add("after the operator's step",
          {{"leave", "the next launch " + DescribeStep(Got) + " instead of going on; expected " + DescribeStep(Want)}});
    }
  }

  void Add(const std::string &Where, const std::vector<Violation> &Found) {
    Report_.Add(L_.Name, "cut at call " + std::to_string(CutAt_) + ", " + Where, Found);
  }

  sim::Firmware &Fw_;
  const Launch &L_;
  Reporter &Report_;
  uint64_t CutAt_;
  Update U_;
  bool StartedOver_ = false;
  ChainResult Result_;
};

struct LaunchFigures {
  std::string Name;
  uint64_t Cuts = 0;
  uint64_t LogCuts = 0;  // inside the calls of the log line
  uint64_t ChainLaunches = 0;
  int MostFlashes = 0;
  uint64_t Unsignalled = 0;
  uint64_t ToolStartLost = 0;
  std::map<Ending, uint64_t> Endings = {};
};

TEST(PowerCutSweep, EveryCutOfEveryLaunchLeavesAnUpdateThatCarriesOn) {
  std::vector<LaunchFigures> Figures;
  std::vector<std::string> Notable;
  Reporter Report;

  for (const Launch &L : AllLaunches()) {
    LaunchFigures F{L.Name};
    std::vector<sim::Service> Services;
    Step Whole;
    {
      sim::Firmware Fw;
      PrepareMachine(Fw, L);
      const EFI_STATUS Status = Fw.Launch();
      for (uint64_t N = 1; N <= Fw.CallCount(); N++) {
        Services.push_back(Fw.CallService(N));
      }
      Whole = ObservedStep(Fw, Status);
    }
    const uint64_t Calls = Services.size();
    const auto Log = LogCalls(L, Services);
    // Each call, and the moment just after the last one.
    for (uint64_t N = 1; N <= Calls + 1; N++) {
      sim::Firmware Fw;
      PrepareMachine(Fw, L);
      Chain C(Fw, L, Report, N);
      const ChainResult R = C.Run(Whole);
      F.Cuts++;
      F.LogCuts += Log && N >= Log->first && N <= Log->second ? 1 : 0;
      F.ChainLaunches += static_cast<uint64_t>(R.Launches);
      F.MostFlashes = std::max(F.MostFlashes, R.MostFlashes);
      F.Unsignalled += R.FlashedUnsignalled ? 1 : 0;
      F.ToolStartLost += R.ToolStartLost ? 1 : 0;
      F.Endings[R.End]++;
      if (R.End == Ending::StartedOver || R.End == Ending::Aborted || R.ToolStartLost || R.FlashedUnsignalled) {
        Notable.push_back(L.Name + ", cut " +
                          (N <= Calls ? "at call " + std::to_string(N) + " (" + sim::ServiceName(Services[N - 1]) + ")"
                                      : std::string("after the last call")) +
                          ": " + EndingName(R.End) + (R.ToolStartLost ? ", tool start lost" : "") +
                          (R.FlashedUnsignalled ? ", flash after lost signal" : ""));
      }
      EXPECT_LE(R.MostFlashes, 1) << L.Name << ", cut at call " << N;
      EXPECT_NE(R.End, Ending::Loops) << L.Name << ", cut at call " << N;
      // The tool's start lost in a normal update: it must not pass for done.
      EXPECT_TRUE(!R.ToolStartLost || L.Backup || R.End == Ending::Failed) << L.Name << ", cut at call " << N;
      // A cut (during the first write too) leaves an update its own machine
      // carries on: only a record of another machine or image is refused.
      EXPECT_TRUE(R.End != Ending::Refused || Whole.Status == EFI_ABORTED) << L.Name << ", cut at call " << N;
    }
    Figures.push_back(F);
  }

  std::printf(
      "\nPower-cut sweep: each launch cut at each firmware call and just after its last one, then\n"
      "carried on (reboot, same words, a key where asked) until the update ends or waits\n");
  std::printf("  %-30s %5s", "launch", "cuts");
  for (int E = 0; E < static_cast<int>(Ending::Count); E++) {
    std::printf(" %*s", static_cast<int>(std::string(EndingName(static_cast<Ending>(E))).size()),
                EndingName(static_cast<Ending>(E)));
  }
  std::printf(" %s %s\n", "tool start lost", "flash after lost signal");
  LaunchFigures Total{"total"};
  auto Row = [](const LaunchFigures &F) {
    std::printf("  %-30s %5llu", F.Name.c_str(), static_cast<unsigned long long>(F.Cuts));
    for (int E = 0; E < static_cast<int>(Ending::Count); E++) {
      const auto It = F.Endings.find(static_cast<Ending>(E));
      std::printf(" %*llu", static_cast<int>(std::string(EndingName(static_cast<Ending>(E))).size()),
                  static_cast<unsigned long long>(It == F.Endings.end() ? 0 : It->second));
    }
    std::printf(" %15llu %23llu\n", static_cast<unsigned long long>(F.ToolStartLost),
                static_cast<unsigned long long>(F.Unsignalled));
  };
  for (const LaunchFigures &F : Figures) {
    Row(F);
    Total.Cuts += F.Cuts;
    Total.LogCuts += F.LogCuts;
    Total.ChainLaunches += F.ChainLaunches;
    Total.MostFlashes = std::max(Total.MostFlashes, F.MostFlashes);
    Total.Unsignalled += F.Unsignalled;
    Total.ToolStartLost += F.ToolStartLost;
    for (const auto &[E, Count] : F.Endings) {
      Total.Endings[E] += Count;
    }
  }
  Row(Total);
  std::printf(
      "  launches swept: %zu; power cuts: %llu (%llu inside the log line's calls); launches after the cuts: %llu; "
      "most flash tool runs in one update: %d\n",
      Figures.size(), static_cast<unsigned long long>(Total.Cuts), static_cast<unsigned long long>(Total.LogCuts),
      static_cast<unsigned long long>(Total.ChainLaunches), Total.MostFlashes);
  std::printf("  cut points worth a look:\n");
  for (const std::string &Line : Notable) {
    std::printf("    %s\n", Line.c_str());
  }
  Report.PrintTotals();
}

}  // namespace
}  // namespace tamsork_reliability
