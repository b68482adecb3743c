#include "tools/tamsork-sim/Report.h"

#include "tools/tamsork-sim/Json.h"

namespace tamsork_sim {

namespace {

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

void BytesJson(JsonWriter &J, const FileBytes &Bytes) {
  if (!Bytes) {
    J.Null();
    return;
  }
  J.BeginArray();
  for (uint8_t B : *Bytes) {
    J.Number(B);
  }
  J.EndArray();
}

void KeysJson(JsonWriter &J, const std::vector<KeyPress> &Keys) {
  J.BeginArray();
  for (const KeyPress &K : Keys) {
    J.String(KeyName(K));
  }
  J.EndArray();
}

void StringsJson(JsonWriter &J, const std::vector<std::string> &Items) {
  J.BeginArray();
  for (const std::string &S : Items) {
    J.String(S);
  }
  J.EndArray();
}

void MarkerJson(JsonWriter &J, const std::optional<MarkerInfo> &Marker) {
  J.BeginObject();
  J.Key("found").Bool(Marker.has_value());
  if (Marker) {
    J.Key("anchor_offset").Number(Marker->AnchorOffset);
    J.Key("field_offset").Number(Marker->FieldOffset);
    J.Key("field").String(Marker->Field);
    J.Key("major").Number(Marker->Major);
    J.Key("minor").Number(Marker->Minor);
    J.Key("version").String(VersionText(Marker->Major, Marker->Minor));
  }
  J.EndObject();
}

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
    T.Line("launch " + std::to_string(R.Number) + ": " + Join(Report.CommandLine, " "));
    T.Field("machine", "serial " + R.Machine + ", BIOS " + R.BiosVersion);
    T.Field("state", StateText(R.StateBefore) + " -> " + StateText(R.StateAfter));
    std::vector<std::string> Console;
    for (const std::string &L : Lines(R.Console)) {
      Console.push_back("| " + L);
    }
    T.Field("console", Console);
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
    T.Field("exit status", R.ExitStatus ? StatusName(*R.ExitStatus) : "none: still waiting at the prompt");
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
  JsonWriter J;
  J.BeginObject();
  J.Key("command").String("run");
  J.Key("machine").BeginObject();
  J.Key("bios_version").String(Spec.BiosVersion);
  J.Key("product").String(Spec.Product);
  J.Key("cpu_signature").Number(Spec.CpuSignature);
  J.Key("mor");
  BytesJson(J, Spec.Mor ? FileBytes(std::vector<uint8_t>{*Spec.Mor}) : std::nullopt);
  J.Key("control_port").Number(Spec.ControlPort);
  J.Key("state").String(StateText(Spec.State));
  J.Key("state_read_only").Bool(Spec.ReadOnlyState);
  J.Key("stick_write_protected").Bool(Spec.ReadOnlyStick);
  J.Key("current_directory").String(Spec.CurrentDirectory);
  J.Key("serial").String(Spec.Serial);
  J.Key("flash_tool").String(Spec.Tool);
  J.Key("keys");
  KeysJson(J, Spec.Keys);
  J.EndObject();
  J.Key("image").BeginObject();
  J.Key("path").String(Spec.ImagePath);
  J.Key("name").String(Spec.ImageName);
  J.Key("size").Number(Spec.Image.size());
  J.Key("marker");
  MarkerJson(J, Report.Marker);
  J.EndObject();
  J.Key("command_line");
  StringsJson(J, Report.CommandLine);

  J.Key("launches").BeginArray();
  for (const LaunchRecord &R : Report.Launches) {
    J.BeginObject();
    J.Key("number").Number(static_cast<uint64_t>(R.Number));
    J.Key("bios_version").String(R.BiosVersion);
    J.Key("machine_serial").String(R.Machine);
    J.Key("state_before").String(StateText(R.StateBefore));
    J.Key("state_after").String(StateText(R.StateAfter));
    J.Key("console").String(R.Console);
    J.Key("keys_read");
    KeysJson(J, R.KeysRead);
    J.Key("waiting_for_key").Bool(R.WaitingForKey);
    J.Key("ports").BeginArray();
    for (const PortTransfer &P : R.Ports) {
      J.BeginObject();
      J.Key("direction").String(P.Write ? "write" : "read");
      J.Key("port").Number(P.Port);
      J.Key("value").Number(P.Value);
      J.EndObject();
    }
    J.EndArray();
    J.Key("mor_before");
    BytesJson(J, R.MorBefore);
    J.Key("mor_after");
    BytesJson(J, R.MorAfter);
    J.Key("reset");
    R.Reset ? J.String(*R.Reset) : J.Null();
    J.Key("flash_tool");
    StringsJson(J, R.ShellCommands);
    J.Key("flashed_to");
    R.FlashedTo ? J.String(*R.FlashedTo) : J.Null();
    J.Key("vendor_requests").BeginArray();
    for (const VendorRequest &V : R.VendorRequests) {
      J.BeginObject();
      J.Key("command").Number(V.Command);
      J.Key("subcommand").Number(V.SubCommand);
      J.Key("function").Number(V.Function);
      J.Key("argument").Number(V.Argument);
      J.Key("buffer_size").Number(V.BufferSize);
      J.EndObject();
    }
    J.EndArray();
    J.Key("exit_status");
    R.ExitStatus ? J.String(StatusName(*R.ExitStatus)) : J.Null();
    J.Key("restart");
    R.Restart.empty() ? J.Null() : J.String(R.Restart);
    J.Key("notes");
    StringsJson(J, R.Notes);
    J.EndObject();
  }
  J.EndArray();

  J.Key("stop").BeginObject();
  J.Key("code").String(Report.Stop.Code);
  J.Key("reason").String(Report.Stop.Text);
  J.EndObject();
  J.Key("final").BeginObject();
  J.Key("bios_version").String(Report.FinalBiosVersion);
  J.Key("state").String(StateText(Report.FinalState));
  J.Key("mor");
  BytesJson(J, Report.FinalMor);
  J.Key("keys_left");
  KeysJson(J, Report.KeysLeft);
  J.EndObject();
  J.EndObject();
  return J.Text();
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
    T.Field("running BIOS", G.BiosVersion + ", read as " + VersionText(G.RunningMajor, G.RunningMinor));
    T.Field("version gate",
            G.Allowed ? "allowed: the image is not older than the running BIOS" : "refused: " + G.Message);
  }
  return T.Take();
}

std::string InspectJson(const InspectReport &Report) {
  JsonWriter J;
  J.BeginObject();
  J.Key("command").String("inspect");
  J.Key("image").BeginObject();
  J.Key("path").String(Report.ImagePath);
  J.Key("size").Number(Report.ImageSize);
  J.EndObject();
  J.Key("marker");
  MarkerJson(J, Report.Marker);
  J.Key("gate");
  if (!Report.Gate) {
    J.Null();
  } else {
    const GateResult &G = *Report.Gate;
    J.BeginObject();
    J.Key("bios_version").String(G.BiosVersion);
    J.Key("running_version").String(VersionText(G.RunningMajor, G.RunningMinor));
    J.Key("allowed").Bool(G.Allowed);
    J.Key("message").String(G.Message);
    J.EndObject();
  }
  J.EndObject();
  return J.Text();
}

}  // namespace tamsork_sim
