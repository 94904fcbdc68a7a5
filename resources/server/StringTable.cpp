#include "resources/server/StringTable.h"

#include <QtGlobal>
#include <utility>

namespace uv::server::res {

namespace {

struct Entry {
  int id;
  const char* text;
};

constexpr Entry kStrings[] = {
    {IDS_ABOUTBOX, "&About USBVantrel! Server..."},
    {IDP_SOCKETS_INIT_FAILED, "Windows sockets initialization failed."},
    {ID_TOOLBAR_COPY, "\nCopy"},
    {ID_TOOLBAR_HIDE, "\nHide"},
    {ID_TOOLBAR_SELECTALL, "\nSelect All"},
    {ID_TOOLBAR_PRINT, "\nPrint"},
    {AFX_IDP_FAILED_TO_START_PRINT, "Could not start print job."},
};

}  // namespace

QString LoadString(int id) {
  for (const auto& entry : kStrings) {
    if (entry.id == id) return QString::fromLatin1(entry.text);
  }
  return {};
}

QString ToolTipOf(int commandId) {
  const QString text = LoadString(commandId);
  const qsizetype newline = text.indexOf(QLatin1Char('\n'));
  return newline < 0 ? QString() : text.mid(newline + 1);
}

}  // namespace uv::server::res

void InitServerResources() {
  Q_INIT_RESOURCE(server);
}
