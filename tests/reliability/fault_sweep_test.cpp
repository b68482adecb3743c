// The fault sweep: every launch of an update, in both modes, run once
// cleanly to learn its firmware calls, then once more for each of those
// calls with that one call failing, on a fresh machine each time. Whatever
// fails, the launch must keep the rules of UpdateRules.h.
#include <gtest/gtest.h>

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
    case Service::VendorRequest: return EFI_DEVICE_ERROR;
    // Port accesses have no status; the simulated board answers a failed
    // read with a floating bus (0xFF) and loses a failed write, as a board
    // that does not respond would.
    case Service::IoRead8:
    case Service::IoWrite8: return EFI_DEVICE_ERROR;
    case Service::InstallProtocolInterface: return EFI_OUT_OF_RESOURCES;
    case Service::Count: break;
  }
  return std::nullopt;
}

struct LaunchFigures {
  std::string Name;
  uint64_t Calls = 0;
  uint64_t Faults = 0;
  uint64_t Skipped = 0;
  uint64_t Broken = 0;  // faulty launches that broke a rule
};

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
    FileContent Before;
    {
      sim::Firmware Fw;
      PrepareMachine(Fw, L);
      Before = StateOnMedium(Fw);
      const EFI_STATUS Status = Fw.Launch();
      for (uint64_t N = 1; N <= Fw.CallCount(); N++) {
        Calls.push_back(Fw.CallService(N));
      }
      Clean = ObservedStep(Fw, Status);
      const Step Want = ExpectedStep(FactsOf(Fw), L.Backup, L.State, Key);
      EXPECT_TRUE(SameStep(Clean, Want)) << L.Name << ": the clean launch " << DescribeStep(Clean) << "; expected "
                                         << DescribeStep(Want);
      Report.Add(L.Name, "clean", CheckLaunch(Fw, Status, {L.Backup, Before, {Clean.After}}));
    }
    F.Calls = Calls.size();

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
      Allowed A{L.Backup, Before, PossibleStates(Before, Clean)};
      // A first start whose SMBIOS read fails finds no System Information
      // record, as on a firmware without one: its record names no machine.
      const auto Fresh = DecodeRecord(Clean.After.Bytes);
      if (Clean.Signals && Fresh &&
          (S == Service::LocateHandleBuffer || S == Service::OpenProtocol || S == Service::SmbiosGetNext)) {
        A.After.emplace_back(Bytes(Clean.After.Bytes->begin(), Clean.After.Bytes->begin() + 1));
        A.After.back().Bytes->insert(A.After.back().Bytes->end(), Clean.After.Bytes->begin() + 1 + kRecordSize,
                                     Clean.After.Bytes->end());
        A.After.back().Fresh = Record{{}, Fresh->Image};
      }
      if (S == Service::FreePool) {
        A.LeakedBlocks = 1;
        A.AssertionReports = true;
      }
      const auto Found = CheckLaunch(Fw, Exit, A);
      F.Broken += Found.empty() ? 0 : 1;
      Report.Add(L.Name, Where, Found);
    }
    Figures.push_back(F);
  }

  LaunchFigures Total{"total"};
  std::printf("\nFault sweep: one failing firmware call per launch, on a fresh machine each\n");
  std::printf("  %-34s %6s %7s %8s %7s\n", "launch", "calls", "faults", "skipped", "broken");
  for (const LaunchFigures &F : Figures) {
    std::printf("  %-34s %6llu %7llu %8llu %7llu\n", F.Name.c_str(), static_cast<unsigned long long>(F.Calls),
                static_cast<unsigned long long>(F.Faults), static_cast<unsigned long long>(F.Skipped),
                static_cast<unsigned long long>(F.Broken));
    Total.Calls += F.Calls;
    Total.Faults += F.Faults;
    Total.Skipped += F.Skipped;
    Total.Broken += F.Broken;
  }
  std::printf("  %-34s %6llu %7llu %8llu %7llu\n", "total", static_cast<unsigned long long>(Total.Calls),
              static_cast<unsigned long long>(Total.Faults), static_cast<unsigned long long>(Total.Skipped),
              static_cast<unsigned long long>(Total.Broken));
  std::printf("  launches swept: %zu\n  faults by service:", Figures.size());
  for (const auto &[S, Count] : FaultsByService) {
    std::printf(" %s %llu,", sim::ServiceName(S), static_cast<unsigned long long>(Count));
  }
  std::printf("\n");
  Report.PrintTotals();
}

// Faults that stay: the firmware fails the same way at every launch, as a
// write-protected stick or a worn medium does. A launch that cannot record
// its step must not take it: startup.nsh starts the application at every
// boot, so a step taken anyway (a board signal and reset) would repeat for
// ever. Every boot ends at the Shell with the failure instead.
TEST(FaultSweep, AStateFileThatCannotBeWrittenStopsEveryBootAtTheShell) {
  struct Persistent {
    const char *Name;
    std::function<void(sim::Firmware &)> Apply;
  };
  const Persistent Faults[] = {
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
  // Every step that writes State.dat, from a state file that is there, and
  // a fresh start.
  const Launch Starts[] = {
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
  Reporter Report;
  for (const Persistent &F : Faults) {
    for (const Launch &L : Starts) {
      const std::string Name = std::string(F.Name) + ", " + L.Name;
      sim::Firmware Fw;
      PrepareMachine(Fw, L);
      F.Apply(Fw);
      int Steps = 0, Failures = 0;
      for (int Boot = 1; Boot <= kBoots; Boot++) {
        const FileContent Before = StateOnMedium(Fw);
        if (L.Backup && L.State && !L.State->empty() && (*L.State)[0] == kBackupResetPending) {
          Fw.QueueKey(sim::CharKey(u'y'));
        }
        const EFI_STATUS Status = Fw.Launch();
        Report.Add(Name, "boot " + std::to_string(Boot),
                   CheckLaunch(Fw, Status, {L.Backup, Before, {Before, Bytes{}}}));
        Steps += (Fw.PortWrites().empty() && !Fw.ResetRequested() && Fw.Executions().empty() &&
                  Fw.VendorRequests().empty())
                     ? 0
                     : 1;
        Failures += EFI_ERROR(Status) && Fw.ConsoleText().find("State.dat could not be") != std::string::npos ? 1 : 0;
        Fw.Reboot();
      }
      EXPECT_EQ(Steps, 0) << Name << ": a step was taken at " << Steps << " of " << kBoots
                          << " boots that could not record it";
      EXPECT_EQ(Failures, kBoots) << Name << ": only " << Failures << " of " << kBoots
                                  << " boots ended with the state file's failure and its message";
    }
  }
}

}  // namespace
}  // namespace tamsork_reliability
