#pragma once

#include <string>
#include <string_view>

namespace valtrix {

/// Whether `c` is a control character: below 0x20, or DEL.
inline bool IsControlCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

/// Appends `text` to `out` with its control characters written as C escapes: \n, \r, \t, and
/// \xHH for the others. Printable text, backslashes and UTF-8 stay as they are.
inline void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    if (!IsControlCharacter(c)) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    }
  }
}

}  // namespace valtrix
