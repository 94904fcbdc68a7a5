#pragma once
// Helpers of the console's widget tests: files in their temporary folders as Qt names them,
// controls found by their dialog identifier, and the text of printed PDF files (poppler's
// pdftotext/pdfinfo). Machine roots are the shared TempMachine's.

#include <QFile>
#include <QString>
#include <QWidget>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempMachine.h"

namespace uv::server::test {

using uv::test::TempDir;
using uv::test::TempMachine;

// `name` in `folder`, as the Qt calls take it.
inline QString PathIn(const std::filesystem::path& folder, const char* name) {
  return QString::fromStdString((folder / name).string());
}

// Copies a file the test made (a printed PDF, a window grab) into $UV_TEST_ARTIFACTS when that
// is set, so a person can look at it.
inline void KeepArtifact(const QString& file) {
  const QString dir = qEnvironmentVariable("UV_TEST_ARTIFACTS");
  if (dir.isEmpty()) return;
  const QString target = dir + QLatin1Char('/') + file.section(QLatin1Char('/'), -1);
  QFile::remove(target);
  QFile::copy(file, target);
}

// The widget below `root` whose "controlId" property is `id`.
inline QWidget* FindById(QWidget* root, int id) {
  const auto all = root->findChildren<QWidget*>();
  for (QWidget* w : all) {
    const QVariant v = w->property("controlId");
    if (v.isValid() && v.toInt() == id) return w;
  }
  return nullptr;
}

// The text of one page (1-based) or of the whole document (page 0), layout kept.
inline QString PdfText(const QString& pdf, int page = 0) {
  std::vector<std::string> args{"-layout"};
  if (page > 0) args.insert(args.end(), {"-f", std::to_string(page), "-l", std::to_string(page)});
  args.insert(args.end(), {pdf.toStdString(), "-"});
  return QString::fromStdString(uv::test::RunProgram("pdftotext", args).out);
}

inline int PdfPages(const QString& pdf) {
  const QString out =
      QString::fromStdString(uv::test::RunProgram("pdfinfo", {pdf.toStdString()}).out);
  for (const QString& line : out.split(QLatin1Char('\n'))) {
    if (line.startsWith(QStringLiteral("Pages:"))) return line.mid(6).trimmed().toInt();
  }
  return -1;
}

}  // namespace uv::server::test
