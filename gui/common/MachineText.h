#pragma once
// The machine's 8-bit text is UTF-8: reports on the wire, file names from the watcher, registry
// strings, the log file and the journal all carry UTF-8 bytes. Every window converts between
// those bytes and Qt's text here, so the list, the balloons and the printout show one text the
// same way. Bytes that are not UTF-8 show as U+FFFD wherever they appear.

#include <QByteArray>
#include <QString>
#include <string>
#include <string_view>

namespace uv::gui {

inline QString FromMachineText(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToMachineText(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace uv::gui
