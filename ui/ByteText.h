// Conversions between the relay's byte strings and Qt's text: one character
// per byte, so every byte survives the round trip. Pure functions; any thread.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace tarvix {

inline QString FromBytes(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

inline std::string ToBytes(const QString& text) { return text.toLatin1().toStdString(); }

}  // namespace tarvix
