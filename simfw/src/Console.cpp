// The console: a queue of keys the user will type, and the text sent to
// ConOut and StdErr.
#include "Internal.h"

namespace sim {

namespace {

// Longest string one OutputString call accepts before the simulator calls
// it unterminated.
constexpr size_t kOutputLimit = 1 << 20;

EFI_STATUS EFIAPI InputResetService(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, BOOLEAN ExtendedVerification) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::InputReset)) {
    return *Fault;
  }
  if (This != &M.ConIn) {
    M.Misuse("ConIn->Reset: This is not ConIn");
    return EFI_INVALID_PARAMETER;
  }
  // The queued keys stand for what the user is going to type, not for
  // stale input, so a reset keeps them.
  return EFI_SUCCESS;
}

EFI_STATUS ReadKeyStrokeCall(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::ReadKeyStroke)) {
    return *Fault;
  }
  if (This != &M.ConIn) {
    M.Misuse("ConIn->ReadKeyStroke: This is not ConIn");
    return EFI_INVALID_PARAMETER;
  }
  if (Key == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (M.Keys.empty()) {
    M.NoteEmptyKeyWait();
    return M.Owner.NoKeyStatus;
  }
  if (!M.Keys.front().Arrived) {
    // Typed at the prompt, which the application has not waited at yet.
    M.NoteEmptyKeyWait();
    return EFI_NOT_READY;
  }
  M.EmptyWaits = 0;
  Key->ScanCode = M.Keys.front().K.ScanCode;
  Key->UnicodeChar = M.Keys.front().K.UnicodeChar;
  M.Keys.pop_front();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ReadKeyStrokeService(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This, EFI_INPUT_KEY *Key) {
  const EFI_STATUS Status = ReadKeyStrokeCall(This, Key);
  if (EFI_ERROR(Status) && Key != nullptr && Poisoning()) {
    Key->ScanCode = kPoisonScanCode;
    Key->UnicodeChar = kPoisonChar;
  }
  return Status;
}

EFI_STATUS EFIAPI OutputStringService(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String) {
  auto &M = Machine();
  if (auto Fault = M.Gate(Service::OutputString)) {
    return *Fault;
  }
  std::u16string *Into = This == &M.ConOut ? &M.Out : This == &M.StdErr ? &M.Err : nullptr;
  if (Into == nullptr) {
    M.Misuse("OutputString: This is neither ConOut nor StdErr");
    return EFI_INVALID_PARAMETER;
  }
  if (String == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Length = BoundedLength(String, kOutputLimit);
  if (!Length) {
    M.Misuse("OutputString: no terminator within 1 MiB characters");
    return EFI_INVALID_PARAMETER;
  }
  // A firmware text console moves down a row on a line feed but stays in
  // its column: a line feed without a carriage return before it leaves the
  // next line indented on the screen.
  char16_t Previous = Into->empty() ? u'\r' : Into->back();
  for (size_t I = 0; I < *Length; I++) {
    if (String[I] == u'\n' && Previous != u'\r') {
      M.Misuse("OutputString: line feed without carriage return");
      break;
    }
    Previous = String[I];
  }
  if (M.Recording()) {  // the screen is dark after a power cut
    Into->append(String, *Length);
  }
  return EFI_SUCCESS;
}

void FillOutput(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL &P, Firmware::Impl &M) {
  P.Reset = Stub<"ConOut->Reset">();
  P.OutputString = OutputStringService;
  P.TestString = Stub<"ConOut->TestString">();
  P.QueryMode = Stub<"ConOut->QueryMode">();
  P.SetMode = Stub<"ConOut->SetMode">();
  P.SetAttribute = Stub<"ConOut->SetAttribute">();
  P.ClearScreen = Stub<"ConOut->ClearScreen">();
  P.SetCursorPosition = Stub<"ConOut->SetCursorPosition">();
  P.EnableCursor = Stub<"ConOut->EnableCursor">();
  P.Mode = &M.OutMode;
}

}  // namespace

void InstallConsole(Firmware::Impl &M) {
  M.ConIn.Reset = InputResetService;
  M.ConIn.ReadKeyStroke = ReadKeyStrokeService;
  M.ConIn.WaitForKey = &M.KeyEvent;
  FillOutput(M.ConOut, M);
  FillOutput(M.StdErr, M);
}

void Firmware::QueueKey(Key K) { Impl_->Keys.push_back({K, false}); }

void Firmware::QueueKeys(const std::vector<Key> &Keys) {
  for (const Key &K : Keys) {
    QueueKey(K);
  }
}

void Firmware::TypeAhead(Key K) { Impl_->Keys.push_back({K, true}); }
void Firmware::ClearKeys() { Impl_->Keys.clear(); }
void Firmware::SpuriousWakes(size_t Count) { Impl_->SpuriousWakesLeft = Count; }

size_t Firmware::KeysLeft() const { return Impl_->Keys.size(); }
std::string Firmware::ConsoleText() const { return ToUtf8(Impl_->Out); }
std::string Firmware::StdErrText() const { return ToUtf8(Impl_->Err); }

}  // namespace sim
