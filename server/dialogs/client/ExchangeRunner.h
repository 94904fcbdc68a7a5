#pragma once
// Runs one command exchange on a worker thread while the calling dialog waits in a local event
// loop: the console's windows keep painting and timers keep running, but no user input is taken
// and the dialog is disabled, so no second exchange can start from it. The exchange's own limits
// bound the wait. Returns kBusy at once when another exchange runs.
//
// Thread affinity: UI thread. The worker is joined before the call returns.

#include "server/dialogs/exchange/CommandExchange.h"

class QWidget;

namespace uv::server {

ExchangeStatus RunExchangeWaiting(CommandExchange& exchange, const ExchangeRequest& request,
                                  QWidget* dialog);

}  // namespace uv::server
