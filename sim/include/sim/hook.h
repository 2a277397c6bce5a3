// The one place where a shipped library lets the simulated devices in. Each library that has a
// simulated device writes TW_SIMULATION_HOOK(install) once, in its export file: `install` runs
// when the library is loaded and puts the device in place when TARNWICK_SIM=1 asks for it (and
// does nothing otherwise). A build with TW_SIMULATION off (a site's release build) compiles the
// hook away, and with it every link to the simulators: its libraries know only real devices, and
// their simulation controls answer that there is nothing to control.
#pragma once

#ifndef TW_WITH_SIMULATION
#define TW_WITH_SIMULATION 1
#endif

#if TW_WITH_SIMULATION
#define TW_SIMULATION_HOOK(install)                                 \
  namespace {                                                       \
  [[maybe_unused]] const bool twSimulationHook = (install(), true); \
  }
#else
#define TW_SIMULATION_HOOK(install)
#endif
