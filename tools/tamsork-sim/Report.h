// tamsork's output: the run transcript and the inspection, as text for
// people and as JSON for scripts. Both renderings carry the same facts.
#pragma once

#include <string>

#include "tools/tamsork-sim/Simulation.h"

namespace tamsork_sim {

std::string RunText(const MachineSpec &Spec, const RunReport &Report);
std::string RunJson(const MachineSpec &Spec, const RunReport &Report);
std::string InspectText(const InspectReport &Report);
std::string InspectJson(const InspectReport &Report);

}  // namespace tamsork_sim
