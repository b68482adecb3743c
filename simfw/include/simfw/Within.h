// Runs a piece of the application inside one launch on the simulated
// machine, with the kit's globals set as the entry glue sets them, so single
// functions can be exercised without going through HelperMain.
#pragma once

#include <functional>

#include "simfw/Firmware.h"

namespace sim {

EFI_STATUS LaunchWithin(Firmware &Fw, std::function<EFI_STATUS()> Body);

}  // namespace sim
