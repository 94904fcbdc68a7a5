#pragma once
// The system-shutdown verb of usbvantrel-sim: delivers the shutdown control to every running
// service of the emulated computer that accepts it, as the system does when it goes down.

#include "tools/usbvantrel-sim/SimVerb.h"

namespace uv::sim {

int ShutdownVerb(SimContext& context);

inline constexpr SimVerb kShutdownVerb{
    "shutdown", "", "deliver a system shutdown to the running services", ShutdownVerb};

}  // namespace uv::sim
