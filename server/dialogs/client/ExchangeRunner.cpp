#include "server/dialogs/client/ExchangeRunner.h"

#include <QEventLoop>
#include <QPointer>
#include <QWidget>
#include <thread>

namespace uv::server {

ExchangeStatus RunExchangeWaiting(CommandExchange& exchange, const ExchangeRequest& request,
                                  QWidget* dialog) {
  if (!exchange.Begin()) return ExchangeStatus::kBusy;
  QPointer<QWidget> guard(dialog);
  const bool wasEnabled = dialog != nullptr && dialog->isEnabled();
  if (dialog != nullptr) dialog->setEnabled(false);

  QEventLoop loop;
  ExchangeStatus status = ExchangeStatus::kConnectFailed;
  {
    std::jthread worker([&] {
      status = exchange.Run(request);
      // Queued: the loop quits when it next runs, even when that is after this line. By name,
      // so that Qt builds the queued call itself: a call object built here and freed on the UI
      // thread would cross threads through Qt's queue alone, which the thread sanitizer cannot
      // see into. `status` is read after the join.
      QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }  // joined here; `status` is the worker's

  if (guard && wasEnabled) guard->setEnabled(true);
  exchange.End();
  return status;
}

}  // namespace uv::server
