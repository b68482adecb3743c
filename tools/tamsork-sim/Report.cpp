#include "tools/tamsork-sim/Report.h"

#include <nlohmann/json.hpp>

namespace tamsork_sim {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char *kMorName = "MemoryOverwriteRequestControl";
constexpr int kLabelWidth = 16;

std::string Join(const std::vector<std::string> &Items, const std::string &Separator) {
  std::string Out;
  for (size_t I = 0; I < Items.size(); I++) {
    Out += (I ? Separator : "") + Items[I];
  }
  return Out;
}

std::vector<std::string> Lines(const std::string &Text) {
  std::vector<std::string> Out;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos) {
      End = Text.size();
    }
    std::string Line = Text.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r') {
      Line.pop_back();
    }
    Out.push_back(Line);
    Start = End + 1;
  }
  return Out;
}

// Bytes of a field read from an image: printable ASCII as it is, the rest
// as \xNN.
std::string Printable(const std::string &Bytes) {
  std::string Out;
  for (char C : Bytes) {
    const auto B = static_cast<unsigned char>(C);
    if (B >= 0x20 && B < 0x7F && B != '\\') {
      Out += C;
    } else {
      Out += "\\x" + Hex(B, 2).substr(2);
    }
  }
  return Out;
}

std::string BytesText(const FileBytes &Bytes) {
  if (!Bytes) {
    return "none";
  }
  if (Bytes->empty()) {
    return "empty";
  }
  std::vector<std::string> Items;
  for (uint8_t B : *Bytes) {
    Items.push_back(Hex(B, 2));
  }
  return Join(Items, " ");
}

std::string KeysText(const std::vector<KeyPress> &Keys) {
  std::vector<std::string> Names;
  for (const KeyPress &K : Keys) {
    Names.push_back(KeyName(K));
  }
  return Names.empty() ? "-" : Join(Names, ", ");
}

std::string PortText(const PortTransfer &P) {
  return std::string(P.Write ? "write " : "read ") + Hex(P.Port, 4) + (P.Write ? " <- " : " -> ") + Hex(P.Value, 2);
}

std::string VendorText(const VendorRequest &V) {
  return "command " + Hex(V.Command, 1) + ", subcommand " + Hex(V.SubCommand, 1) + ", function " + Hex(V.Function, 1) +
         ", argument " + Hex(V.Argument, 1) + ", buffer size " + std::to_string(V.BufferSize);
}

std::string Offset(uint64_t Value) { return std::to_string(Value) + " (" + Hex(Value, 1) + ")"; }

class TextOut {
 public:
  void Line(const std::string &Text = "") { Out_ += Text + "\n"; }
  // "  label           value", continuation lines aligned under the value.
  void Field(const std::string &Label, const std::vector<std::string> &Values) {
    std::string Head = "  " + Label;
    Head.resize(2 + kLabelWidth, ' ');
    if (Values.empty()) {
      Line(Head + "-");
      return;
    }
    for (size_t I = 0; I < Values.size(); I++) {
      Line((I == 0 ? Head : std::string(2 + kLabelWidth, ' ')) + Values[I]);
    }
  }
  void Field(const std::string &Label, const std::string &Value) { Field(Label, std::vector<std::string>{Value}); }
  std::string Take() { return std::move(Out_); }

 private:
  std::string Out_;
};

Json BytesJson(const FileBytes &Bytes) { return Bytes ? Json(*Bytes) : Json(nullptr); }

Json KeysJson(const std::vector<KeyPress> &Keys) {
  Json Out = Json::array();
  for (const KeyPress &K : Keys) {
    Out.push_back(KeyName(K));
  }
  return Out;
}

Json StringsJson(const std::vector<std::string> &Items) { return Items.empty() ? Json::array() : Json(Items); }

Json OptionalJson(const std::optional<std::string> &Text) { return Text ? Json(*Text) : Json(nullptr); }

Json MarkerJson(const std::optional<MarkerInfo> &Marker) {
  Json J;
  J["found"] = Marker.has_value();
  if (Marker) {
    J["anchor_offset"] = Marker->AnchorOffset;
    J["field_offset"] = Marker->FieldOffset;
    J["field"] = Marker->Field;
    J["major"] = Marker->Major;
    J["minor"] = Marker->Minor;
    J["version"] = VersionText(Marker->Major, Marker->Minor);
  }
  return J;
}

// The words of a command line as they are typed at the Shell prompt.
std::vector<std::string> TypedWords(const std::vector<std::string> &Words) {
  std::vector<std::string> Out;
  for (const std::string &W : Words) {
    Out.push_back(ShellTyped(W));
  }
  return Out;
}

// Two spaces a level; bytes that are not UTF-8 become U+FFFD.
std::string Dump(const Json &J) { return J.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"; }

}  // namespace

std::string RunText(const MachineSpec &Spec, const RunReport &Report) {
  TextOut T;
  T.Line("machine: " + Spec.Product + ", CPU " + Hex(Spec.CpuSignature, 8) + ", BIOS " + Spec.BiosVersion + ", " +
         kMorName + " " + (Spec.Mor ? Hex(*Spec.Mor, 2) : "none") + ", control port " + Hex(Spec.ControlPort, 2) +
         ", state " + StateText(Spec.State) + (Spec.ReadOnlyState ? " (read-only)" : "") +
         (Spec.ReadOnlyStick ? ", stick write-protected" : "") + ", serial " + Spec.Serial +
         (Spec.Tool != "flashes" ? ", flash tool " + Spec.Tool : "") +
         (Spec.CurrentDirectory != "FS0:\\" ? ", Shell in " + (Spec.CurrentDirectory.empty() ? std::string("no directory")
                                                                                           : Spec.CurrentDirectory)
                                            : ""));
  T.Line("image:   " + Spec.ImageName + " (" + std::to_string(Spec.Image.size()) + " bytes from " + Spec.ImagePath +
         "), " +
         (Report.Marker ? "version " + VersionText(Report.Marker->Major, Report.Marker->Minor)
                        : std::string("no version marker")));
  T.Line("keys:    " + KeysText(Spec.Keys));

  for (const LaunchRecord &R : Report.Launches) {
    T.Line();
    T.Line("launch " + std::to_string(R.Number) + ": " + Join(TypedWords(Report.CommandLine), " "));
    T.Field("machine", "serial " + R.Machine + ", BIOS " + R.BiosVersion);
    T.Field("state", StateText(R.StateBefore) + " -> " + StateText(R.StateAfter));
    std::vector<std::string> Console;
    for (const std::string &L : Lines(R.Console)) {
      Console.push_back("| " + L);
    }
    T.Field("console", Console);
    T.Field("log", R.LogLines);
    T.Field("keys read", KeysText(R.KeysRead));
    std::vector<std::string> Ports;
    for (const PortTransfer &P : R.Ports) {
      Ports.push_back(PortText(P));
    }
    T.Field("port transfers", Ports);
    T.Field("MOR variable", BytesText(R.MorBefore) + " -> " + BytesText(R.MorAfter));
    T.Field("reset", R.Reset.value_or("-"));
    std::vector<std::string> Tool = R.ShellCommands;
    if (R.FlashedTo && !Tool.empty()) {
      Tool.front() += "   (flashed: BIOS " + R.BiosVersion + " -> " + *R.FlashedTo + ")";
    }
    T.Field("flash tool", Tool);
    std::vector<std::string> Vendor;
    for (const VendorRequest &V : R.VendorRequests) {
      Vendor.push_back(VendorText(V));
    }
    T.Field("vendor request", Vendor);
    T.Field("exit status", R.ExitStatus     ? StatusName(*R.ExitStatus)
                           : R.WaitingForKey ? "none: still waiting at the prompt"
                                             : "none: the machine restarted");
    T.Field("next", !R.Restart.empty() ? R.Restart
                    : R.WaitingForKey  ? "the machine waits for a key"
                                       : "back at the Shell prompt");
    for (const std::string &N : R.Notes) {
      T.Field("note", N);
    }
  }

  T.Line();
  T.Line("stop:    after " + std::to_string(Report.Launches.size()) +
         (Report.Launches.size() == 1 ? " launch: " : " launches: ") + Report.Stop.Text);
  T.Line("final:   BIOS " + Report.FinalBiosVersion + ", state " + StateText(Report.FinalState) + ", " + kMorName +
         " " + BytesText(Report.FinalMor) +
         ", keys left: " + (Report.KeysLeft.empty() ? "none" : KeysText(Report.KeysLeft)));
  return T.Take();
}

std::string RunJson(const MachineSpec &Spec, const RunReport &Report) {
  Json J;
  J["command"] = "run";
  J["machine"] = {
      {"bios_version", Spec.BiosVersion},
      {"product", Spec.Product},
      {"cpu_signature", Spec.CpuSignature},
      {"mor", BytesJson(Spec.Mor ? FileBytes(std::vector<uint8_t>{*Spec.Mor}) : std::nullopt)},
      {"control_port", Spec.ControlPort},
      {"state", StateText(Spec.State)},
      {"state_read_only", Spec.ReadOnlyState},
      {"stick_write_protected", Spec.ReadOnlyStick},
      {"current_directory", Spec.CurrentDirectory},
      {"serial", Spec.Serial},
      {"flash_tool", Spec.Tool},
      {"keys", KeysJson(Spec.Keys)},
  };
  J["image"] = {
      {"path", Spec.ImagePath},
      {"name", Spec.ImageName},
      {"size", Spec.Image.size()},
      {"marker", MarkerJson(Report.Marker)},
  };
  J["command_line"] = StringsJson(TypedWords(Report.CommandLine));

  Json Launches = Json::array();
  for (const LaunchRecord &R : Report.Launches) {
    Json L;
    L["number"] = R.Number;
    L["bios_version"] = R.BiosVersion;
    L["machine_serial"] = R.Machine;
    L["state_before"] = StateText(R.StateBefore);
    L["state_after"] = StateText(R.StateAfter);
    L["console"] = R.Console;
    L["log"] = StringsJson(R.LogLines);
    L["keys_read"] = KeysJson(R.KeysRead);
    L["waiting_for_key"] = R.WaitingForKey;
    Json Ports = Json::array();
    for (const PortTransfer &P : R.Ports) {
      Ports.push_back({{"direction", P.Write ? "write" : "read"}, {"port", P.Port}, {"value", P.Value}});
    }
    L["ports"] = Ports;
    L["mor_before"] = BytesJson(R.MorBefore);
    L["mor_after"] = BytesJson(R.MorAfter);
    L["reset"] = OptionalJson(R.Reset);
    L["flash_tool"] = StringsJson(R.ShellCommands);
    L["flashed_to"] = OptionalJson(R.FlashedTo);
    Json Vendor = Json::array();
    for (const VendorRequest &V : R.VendorRequests) {
      Vendor.push_back({{"command", V.Command},
                        {"subcommand", V.SubCommand},
                        {"function", V.Function},
                        {"argument", V.Argument},
                        {"buffer_size", V.BufferSize}});
    }
    L["vendor_requests"] = Vendor;
    L["exit_status"] = R.ExitStatus ? Json(StatusName(*R.ExitStatus)) : Json(nullptr);
    L["restart"] = R.Restart.empty() ? Json(nullptr) : Json(R.Restart);
    L["notes"] = StringsJson(R.Notes);
    Launches.push_back(L);
  }
  J["launches"] = Launches;
  J["stop"] = {{"code", Report.Stop.Code}, {"reason", Report.Stop.Text}};
  J["final"] = {
      {"bios_version", Report.FinalBiosVersion},
      {"state", StateText(Report.FinalState)},
      {"mor", BytesJson(Report.FinalMor)},
      {"keys_left", KeysJson(Report.KeysLeft)},
  };
  return Dump(J);
}

std::string InspectText(const InspectReport &Report) {
  TextOut T;
  T.Line("image " + Report.ImagePath + ": " + std::to_string(Report.ImageSize) + " bytes");
  if (!Report.Marker) {
    T.Field("version marker", "not found (no \"$BVDT\" followed by a \"$.<letter><major>.<minor>\" field)");
  } else {
    const MarkerInfo &M = *Report.Marker;
    T.Field("anchor $BVDT", "offset " + Offset(M.AnchorOffset));
    T.Field("version field", "offset " + Offset(M.FieldOffset) + ": " + Printable(M.Field));
    T.Field("version", VersionText(M.Major, M.Minor));
  }
  if (Report.Gate) {
    const GateResult &G = *Report.Gate;
    T.Field("running BIOS", G.BiosVersion + (G.Readable ? ", read as " + VersionText(G.RunningMajor, G.RunningMinor)
                                                         : ", which cannot be read"));
    T.Field("version gate", G.Allowed    ? "allowed: the image is not older than the running BIOS"
                            : G.Readable ? "refused: " + G.Message
                                         : "cannot be read: " + G.Message);
  }
  return T.Take();
}

std::string InspectJson(const InspectReport &Report) {
  Json J;
  J["command"] = "inspect";
  J["image"] = {{"path", Report.ImagePath}, {"size", Report.ImageSize}};
  J["marker"] = MarkerJson(Report.Marker);
  J["gate"] = nullptr;
  if (Report.Gate) {
    const GateResult &G = *Report.Gate;
    J["gate"] = {
        {"bios_version", G.BiosVersion},
        {"running_version", G.Readable ? Json(VersionText(G.RunningMajor, G.RunningMinor)) : Json(nullptr)},
        {"allowed", G.Allowed},
        {"message", G.Message},
    };
  }
  return Dump(J);
}

}  // namespace tamsork_sim
