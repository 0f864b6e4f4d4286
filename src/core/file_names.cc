#include "core/file_names.h"

#include <cstdint>
#include <cstdio>

#include <wx/string.h>

namespace {

// The length of the valid UTF-8 sequence that starts at bytes[at], or 0 if none starts there.
// Sets *codePoint to what it encodes.
size_t SequenceAt(std::string_view bytes, size_t at, uint32_t* codePoint) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(at);
  size_t length;
  uint32_t value;
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  *codePoint = value;
  return length;
}

}  // namespace

bool IsUtf8(std::string_view bytes) {
  for (size_t at = 0; at < bytes.size();) {
    uint32_t codePoint;
    const size_t length = SequenceAt(bytes, at, &codePoint);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string ShownName(std::string_view bytes) {
  std::string shown;
  shown.reserve(bytes.size());
  const auto escape = [&shown](uint8_t byte) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02x", byte);
    shown += text;
  };
  for (size_t at = 0; at < bytes.size();) {
    uint32_t codePoint = 0;
    const size_t length = SequenceAt(bytes, at, &codePoint);
    const bool shownAsIs = length > 0 && codePoint >= 0x20 && codePoint != 0x7F &&
                           codePoint != '\\' && codePoint != 0xFFFE && codePoint != 0xFFFF &&
                           !(codePoint == '&' && bytes.substr(at, 3) == "&#x");
    if (!shownAsIs) {
      escape(static_cast<uint8_t>(bytes[at]));
      ++at;
      continue;
    }
    shown.append(bytes.substr(at, length));
    at += length;
  }
  return shown;
}

std::string LowerName(const std::string& bytes) {
  if (IsUtf8(bytes)) {
    wxString text = wxString::FromUTF8(bytes.data(), bytes.size());
    text.MakeLower();
    const wxScopedCharBuffer lowered = text.utf8_str();
    return std::string(lowered.data(), lowered.length());
  }
  std::string lowered = bytes;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}
