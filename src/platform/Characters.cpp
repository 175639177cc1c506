#include "platform/Characters.h"

#include <QString>
#include <QTextBoundaryFinder>

namespace Platform {

std::vector<std::string> characters(std::string_view utf8) {
  const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  std::vector<std::string> pieces;
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  qsizetype start = 0;
  for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
    if (end > start) pieces.push_back(text.mid(start, end - start).toStdString());
    start = end;
  }
  return pieces;
}

}  // namespace Platform
