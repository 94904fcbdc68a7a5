// Must not compile: the device tree does not link the console.
#include "platform/pnp/DeviceState.h"
#include "server/app/EventRules.h"
