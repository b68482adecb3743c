// Assertion reports: written to the standard error console, then execution
// goes on, so a broken expectation is visible without stopping an update
// half-way through.
#include "kit/Library.h"

namespace {
constexpr CHAR8 kModuleName[] = "Tamsork";
}

VOID DebugAssert(const CHAR8 *FileName, UINTN LineNumber, const CHAR8 *Description) {
  if (gST == NULL || gST->StdErr == NULL) {
    return;
  }
  const KIT_PRINT_ARG Args[] = {KitPrintArg(kModuleName), KitPrintArg(FileName), KitPrintArg(LineNumber),
                                KitPrintArg(Description)};
  KitPrint(gST->StdErr, u"ASSERT [%a] %a(%d): %a\n", Args, 4);
}
