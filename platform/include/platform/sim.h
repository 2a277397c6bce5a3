// The simulation switch: TARNWICK_SIM=1 in the environment puts simulated devices behind every
// device interface. Read once, at first use; thread-safe and never blocks.
#pragma once

namespace platform {

bool SimulationEnabled();
// Tests switch simulation on or off without touching the environment.
void SetSimulationForTesting(bool on);

}  // namespace platform
