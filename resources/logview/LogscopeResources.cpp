#include "resources/logview/LogscopeResources.h"

#include <QtGlobal>

namespace uv::logview::res {

QString LoadString(int id) {
  switch (id) {
    case IDS_ABOUTBOX:
      return QString::fromLatin1(kAboutEntry);
    default:
      return {};
  }
}

}  // namespace uv::logview::res

void InitLogscopeResources() {
  Q_INIT_RESOURCE(logview);
}
