#pragma once
// The idle verbs of usbvantrel-sim: the user at the console stops giving input (an idle spell
// starts; the agent's idle detection reports it once its minutes have passed) and gives input
// again (the spell ends).

#include "tools/usbvantrel-sim/SimVerb.h"

namespace uv::sim {

// idle USER: USER stops giving input now; a user already idle keeps the spell's start.
int IdleVerb(SimContext& context);
// input USER: USER gives input again.
int InputVerb(SimContext& context);

inline constexpr SimVerb kIdleVerb{"idle", "USER", "USER stops giving input (an idle spell starts)",
                                   IdleVerb};
inline constexpr SimVerb kInputVerb{"input", "USER", "USER gives input again (the spell ends)",
                                    InputVerb};

}  // namespace uv::sim
