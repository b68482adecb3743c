// The fault sweep: every launch of an update, in both modes, run once
// cleanly to learn its firmware calls, then once more for each of those
// calls with that one call failing, on a fresh machine each time. Whatever
// fails, the launch must keep the rules of UpdateRules.h; and a failing
// call of the log's line (its time, the open, positioning, the read of the
// last byte, the write, the flush, the close of Tamsork.log) changes nothing
// else the launch does: the same step, at most one line more on the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "reliability/SweepReport.h"
#include "reliability/UpdateRules.h"

namespace tamsork_reliability {
namespace {

using sim::Service;

// The failure each service is given: a status that firmware, or the Shell,
// may return from that call. nullopt: the call is not failed.
std::optional<EFI_STATUS> FaultStatus(Service S) {
  switch (S) {
    case Service::AllocatePool: return EFI_OUT_OF_RESOURCES;
    // The only failure FreePool has is a buffer it never gave out; refusing a
    // real one leaves that block behind, which the check allows for.
    case Service::FreePool: return EFI_INVALID_PARAMETER;
    case Service::WaitForEvent: return EFI_UNSUPPORTED;
    case Service::HandleProtocol: return EFI_UNSUPPORTED;
    case Service::OpenProtocol: return EFI_UNSUPPORTED;
    case Service::LocateDevicePath: return EFI_NOT_FOUND;
    case Service::LocateHandleBuffer: return EFI_NOT_FOUND;
    case Service::GetVariable: return EFI_NOT_FOUND;
    case Service::SetVariable: return EFI_DEVICE_ERROR;
    // ResetSystem has no status: it does not come back.
    case Service::ResetSystem: return std::nullopt;
    case Service::ReadKeyStroke: return EFI_NOT_READY;
    case Service::InputReset: return EFI_DEVICE_ERROR;
    case Service::OutputString: return EFI_DEVICE_ERROR;
    case Service::OpenVolume: return EFI_DEVICE_ERROR;
    case Service::FileOpen: return EFI_DEVICE_ERROR;
    // Close reports no failure: a write-back that fails on the way closes
    // the handle all the same, and the cached bytes never reach the medium.
    case Service::FileClose: return EFI_DEVICE_ERROR;
    case Service::FileDelete: return EFI_WARN_DELETE_FAILURE;
    case Service::FileRead:
    case Service::FileWrite:
    case Service::FileGetPosition:
    case Service::FileSetPosition:
    case Service::FileGetInfo:
    case Service::FileSetInfo:
    case Service::FileFlush: return EFI_DEVICE_ERROR;
    case Service::SmbiosGetNext: return EFI_NOT_FOUND;
    case Service::ShellExecute: return EFI_OUT_OF_RESOURCES;
    case Service::CalculateCrc32: return EFI_INVALID_PARAMETER;
    // The Shell's file functions: a name it cannot open, a handle it cannot
    // describe (GetFileInfo has no status: it gives NULL) or close.
    case Service::ShellOpenFileByName: return EFI_NOT_FOUND;
    case Service::ShellGetFileInfo:
    case Service::ShellCloseFile: return EFI_DEVICE_ERROR;
    // A clock that cannot be read.
    case Service::GetTime: return EFI_DEVICE_ERROR;
    case Service::VendorRequest: return EFI_DEVICE_ERROR;
    // Port accesses have no status; the simulated board answers a failed
    // read with a floating bus (0xFF) and loses a failed write, as a board
    // that does not respond would.
    case Service::IoRead8:
    case Service::IoWrite8: return EFI_DEVICE_ERROR;
    case Service::InstallProtocolInterface: return EFI_OUT_OF_RESOURCES;
    case Service::CloseProtocol: return EFI_NOT_FOUND;
    case Service::Count: break;
  }
  return std::nullopt;
}

struct LaunchFigures {
  std::string Name;
  uint64_t Calls = 0;
  uint64_t Faults = 0;
  uint64_t Skipped = 0;
  uint64_t OfLog = 0;   // faults in the calls of the log line
  uint64_t Broken = 0;  // faulty launches that broke a rule
};

// Whether Got is the console text Clean with at most the log's failure
// line added.
bool SameConsoleButTheLog(const std::string &Clean, const std::string &Got) {
  std::vector<std::string> Lines = detail::Split(Got, '\n');
  const auto Told = std::find_if(Lines.begin(), Lines.end(),
                                 [](const std::string &Line) { return Line.rfind(kLogFailureText, 0) == 0; });
  if (Told != Lines.end()) {
    Lines.erase(Told);
  }
  return Lines == detail::Split(Clean, '\n');
}

TEST(FaultSweep, EveryFirmwareCallOfEveryLaunchCanFail) {
  std::vector<LaunchFigures> Figures;
  std::map<Service, uint64_t> FaultsByService;
  Reporter Report;

  for (const Launch &L : AllLaunches()) {
    LaunchFigures F{L.Name};
    const auto Key = L.Keys.empty() ? std::nullopt : std::optional(L.Keys.front().UnicodeChar);

    // The clean launch: its calls, and the step it takes.
    std::vector<Service> Calls;
    Step Clean;
    FileContent Before, LogBefore;
    std::string Console;
    {
      sim::Firmware Fw;
      PrepareMachine(Fw, L);
      Before = StateOnMedium(Fw);
      LogBefore = LogOnMedium(Fw);
      const EFI_STATUS Status = Fw.Launch();
      for (uint64_t N = 1; N <= Fw.CallCount(); N++) {
        Calls.push_back(Fw.CallService(N));
      }
      Clean = ObservedStep(Fw, Status);
      const Step Want = ExpectedStep(FactsOf(Fw), L.Backup, L.State, Key);
      EXPECT_TRUE(SameStep(Clean, Want)) << L.Name << ": the clean launch " << DescribeStep(Clean) << "; expected "
                                         << DescribeStep(Want);
      Console = Fw.ConsoleText();
      Report.Add(L.Name, "clean", CheckLaunch(Fw, Status, {L.Backup, Before, {Clean.After}, LogBefore}));
    }
    F.Calls = Calls.size();
    // Every launch of the sweep reads State.dat, so each writes its line.
    const auto Log = LogCalls(L, Calls);
    if (!Log) {
      Report.Add(L.Name, "clean", {{"log", "the clean launch wrote no line to Tamsork.log"}});
    }

    for (uint64_t N = 1; N <= Calls.size(); N++) {
      const Service S = Calls[N - 1];
      const auto Status = FaultStatus(S);
      if (!Status) {
        F.Skipped++;
        continue;
      }
      sim::Firmware Fw;
      PrepareMachine(Fw, L);
      Fw.FailCallNumber(N, *Status);
      const EFI_STATUS Exit = Fw.Launch();
      F.Faults++;
      FaultsByService[S]++;

      const std::string Where =
          "call " + std::to_string(N) + " (" + sim::ServiceName(S) + ") failing with " + StatusText(*Status);
      // The launch is the same up to the failing call, or the sweep misses calls.
      if (Fw.CallCount() < N || Fw.CallService(N) != S) {
        Report.Add(L.Name, Where, {{"determinism", "the launch took another path before the failing call"}});
        continue;
      }
      Allowed A{L.Backup, Before, PossibleStates(Before, Clean), LogBefore};
      // A first start whose SMBIOS read fails finds no System Information
      // record, as on a firmware without one: its record names no machine.
      const auto Fresh = DecodeRecord(Clean.After.Bytes);
      if (Clean.Signals && Fresh &&
          (S == Service::LocateHandleBuffer || S == Service::OpenProtocol || S == Service::SmbiosGetNext)) {
        A.After.emplace_back(Bytes(Clean.After.Bytes->begin(), Clean.After.Bytes->begin() + 1));
        A.After.back().Bytes->insert(A.After.back().Bytes->end(), Clean.After.Bytes->begin() + 1 + kRecordSize,
                                     Clean.After.Bytes->end());
        A.After.back().Fresh = Record{{}, Fresh->Image, Fresh->Checked};
      }
      if (S == Service::FreePool) {
        A.LeakedBlocks = 1;
        A.AssertionReports = true;
      }
      auto Found = CheckLaunch(Fw, Exit, A);
      if (Log && N >= Log->first && N <= Log->second) {
        F.OfLog++;
        const Step Got = ObservedStep(Fw, Exit);
        if (!SameStep(Got, Clean) || !SameConsoleButTheLog(Console, Fw.ConsoleText())) {
          Found.push_back({"log failure", "the launch " + DescribeStep(Got) + " where the clean one " +
                                              DescribeStep(Clean) + "; screen:\n" + Fw.ConsoleText()});
        }
      }
      F.Broken += Found.empty() ? 0 : 1;
      Report.Add(L.Name, Where, Found);
    }
    Figures.push_back(F);
  }

  LaunchFigures Total{"total"};
  std::printf("\nFault sweep: one failing firmware call per launch, on a fresh machine each\n");
  std::printf("  %-34s %6s %7s %8s %7s %7s\n", "launch", "calls", "faults", "skipped", "of log", "broken");
  const auto Row = [](const LaunchFigures &F) {
    std::printf("  %-34s %6llu %7llu %8llu %7llu %7llu\n", F.Name.c_str(), static_cast<unsigned long long>(F.Calls),
                static_cast<unsigned long long>(F.Faults), static_cast<unsigned long long>(F.Skipped),
                static_cast<unsigned long long>(F.OfLog), static_cast<unsigned long long>(F.Broken));
  };
  for (const LaunchFigures &F : Figures) {
    Row(F);
    Total.Calls += F.Calls;
    Total.Faults += F.Faults;
    Total.Skipped += F.Skipped;
    Total.OfLog += F.OfLog;
    Total.Broken += F.Broken;
  }
  Row(Total);
  std::printf("  launches swept: %zu\n  faults by service:", Figures.size());
  for (const auto &[S, Count] : FaultsByService) {
    std::printf(" %s %llu,", sim::ServiceName(S), static_cast<unsigned long long>(Count));
  }
  std::printf("\n");
  Report.PrintTotals();
}

// Every step that writes State.dat, from a state file that is there, and a
// fresh start; each is booted this many times.
const Launch kWritingStarts[] = {
    {"normal none", false, std::nullopt, {}},
    {"normal empty", false, Bytes{}, {}},
    {"normal '1'", false, Bytes{kModeEntered}, {}},
    {"normal '2'", false, Bytes{kFlashStarted}, {}},
    {"backup empty", true, Bytes{}, {}},
    {"backup '@'", true, Bytes{kBackupRequested}, {}},
    {"backup 'A'", true, Bytes{kBackupReady}, {}},
    {"backup 'G', key 'y'", true, Bytes{kBackupResetPending}, {}},
};
constexpr int kBoots = 5;

// A fault that stays in force for every boot of the machine.
struct Persistent {
  const char *Name;
  std::function<void(sim::Firmware &)> Apply;
};

// Each writing start, on a fresh machine of its own with each fault in
// place; Body gets the pair's name.
void ForEachStartWithFault(const std::vector<Persistent> &Faults,
                           const std::function<void(const std::string &, const Launch &, sim::Firmware &)> &Body) {
  for (const Persistent &F : Faults) {
    for (const Launch &L : kWritingStarts) {
      sim::Firmware Fw;
      PrepareMachine(Fw, L);
      F.Apply(Fw);
      Body(std::string(F.Name) + ", " + L.Name, L, Fw);
    }
  }
}

// Faults that stay: the firmware fails the same way at every launch, as a
// write-protected stick or a worn medium does. A launch that cannot record
// its step must not take it: startup.nsh starts the application at every
// boot, so a step taken anyway (a board signal and reset) would repeat for
// ever. Every boot ends at the Shell with the failure instead.
TEST(FaultSweep, AStateFileThatCannotBeWrittenStopsEveryBootAtTheShell) {
  const std::vector<Persistent> Faults = {
      {"State.dat read-only",
       [](sim::Firmware &Fw) {
         if (!Fw.BootVolume().Exists(kStateFile)) {
           Fw.BootVolume().PutFile(kStateFile, Bytes{});
         }
         Fw.BootVolume().SetReadOnly(kStateFile, true);
       }},
      {"write-protected stick", [](sim::Firmware &Fw) { Fw.BootVolume().SetWriteProtected(true); }},
      {"write-back refused", [](sim::Firmware &Fw) { Fw.BootVolume().RefuseWriteBack(EFI_DEVICE_ERROR); }},
      {"every write fails",
       [](sim::Firmware &Fw) {
         for (uint64_t N = 1; N <= 8; N++) {
           Fw.FailNth(Service::FileWrite, N, EFI_DEVICE_ERROR);
         }
       }},
      {"every flush fails",
       [](sim::Firmware &Fw) {
         for (uint64_t N = 1; N <= 8; N++) {
           Fw.FailNth(Service::FileFlush, N, EFI_DEVICE_ERROR);
         }
       }},
  };
  Reporter Report;
  ForEachStartWithFault(Faults, [&](const std::string &Name, const Launch &L, sim::Firmware &Fw) {
    int Steps = 0, Failures = 0;
    for (int Boot = 1; Boot <= kBoots; Boot++) {
      const FileContent Before = StateOnMedium(Fw), Log = LogOnMedium(Fw);
      if (L.Backup && L.State && !L.State->empty() && (*L.State)[0] == kBackupResetPending) {
        Fw.QueueKey(sim::CharKey(u'y'));
      }
      const EFI_STATUS Status = Fw.Launch();
      Report.Add(Name, "boot " + std::to_string(Boot),
                 CheckLaunch(Fw, Status, {L.Backup, Before, {Before, Bytes{}}, Log}));
      Steps += (Fw.PortWrites().empty() && !Fw.ResetRequested() && Fw.Executions().empty() &&
                Fw.VendorRequests().empty())
                   ? 0
                   : 1;
      // The stick's failure is told once: the log's own goes untold.
      const std::string Console = Fw.ConsoleText();
      Failures += EFI_ERROR(Status) && Console.find("State.dat could not be") != std::string::npos &&
                          Console.find(kLogFailureText) == std::string::npos
                      ? 1
                      : 0;
      Fw.Reboot();
    }
    EXPECT_EQ(Steps, 0) << Name << ": a step was taken at " << Steps << " of " << kBoots
                        << " boots that could not record it";
    EXPECT_EQ(Failures, kBoots) << Name << ": only " << Failures << " of " << kBoots
                                << " boots ended with the state file's failure and its message alone";
  });
}

// A log that cannot be written, at every boot: each boot takes its step as
// the tables say, tells the log's failure once, and leaves the log as it
// was. (The simulated medium refuses write-back for a whole volume only,
// which stops State.dat first: that case is the test above.)
TEST(FaultSweep, ALogThatCannotBeWrittenChangesNoStep) {
  const std::vector<Persistent> Faults = {
      {"Tamsork.log read-only", [](sim::Firmware &Fw) { Fw.BootVolume().PutFile(kLogFile, "earlier\r\n", true); }},
      {"Tamsork.log a folder", [](sim::Firmware &Fw) { Fw.BootVolume().MakeDirectory(kLogFile); }},
  };
  Reporter Report;
  ForEachStartWithFault(Faults, [&](const std::string &Name, const Launch &L, sim::Firmware &Fw) {
    const FileContent Log = LogOnMedium(Fw);
    int Told = 0;
    for (int Boot = 1; Boot <= kBoots; Boot++) {
      const FileContent Before = StateOnMedium(Fw);
      // The keys of the prompts on the way: any key at '@', 'y' at 'G'.
      const uint8_t B = Before && !Before->empty() ? (*Before)[0] : 0;
      const char16_t Key = L.Backup && B == kBackupResetPending ? u'y' : u'\r';
      if (L.Backup && (B == kBackupRequested || B == kBackupResetPending)) {
        Fw.QueueKey(sim::CharKey(Key));
      }
      const EFI_STATUS Status = Fw.Launch();
      const Step Want = ExpectedStep(FactsOf(Fw), L.Backup, Before, Key);
      const Step Got = ObservedStep(Fw, Status);
      auto Found = CheckLaunch(Fw, Status, {L.Backup, Before, {Want.After}, Log});
      if (!SameStep(Got, Want) || LogOnMedium(Fw) != Log) {
        Found.push_back({"log failure", "the launch " + DescribeStep(Got) + " and leaves Tamsork.log " +
                                            Describe(LogOnMedium(Fw)) + "; expected " + DescribeStep(Want)});
      }
      const auto Lines = detail::Split(Fw.ConsoleText(), '\n');
      Told += std::count_if(Lines.begin(), Lines.end(),
                            [](const std::string &Line) { return Line.rfind(kLogFailureText, 0) == 0; }) == 1;
      Report.Add(Name, "boot " + std::to_string(Boot), Found);
      Fw.Reboot();
    }
    EXPECT_EQ(Told, kBoots) << Name << ": the log's failure was told once at only " << Told << " of " << kBoots
                            << " boots";
  });
}

}  // namespace
}  // namespace tamsork_reliability
