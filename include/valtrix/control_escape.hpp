#pragma once

#include <cstddef>
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

/// The length of the well-formed UTF-8 sequence that `text` starts with; 0 when it starts with
/// a byte that begins none (overlong forms, surrogates and code points past U+10FFFF included).
inline std::size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;  // bounds of the second byte
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    low = lead == 0xe0 ? 0xa0 : low;
    high = lead == 0xed ? 0x9f : high;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    low = lead == 0xf0 ? 0x90 : low;
    high = lead == 0xf4 ? 0x8f : high;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(k) & 0xc0) != 0x80) {
      return 0;
    }
  }
  return length;
}

/// Appends `text` to `out` as a JSON string, quotes included: `"` and `\` escaped, control
/// characters as \n, \r, \t or \u00XX, and each byte that is not part of well-formed UTF-8
/// as \ufffd, as decoders that replace what they cannot read write it. `Out` is a std::string
/// or an fmt::memory_buffer.
template <typename Out>
void AppendJsonString(Out& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto append = [&out](std::string_view part) {
    out.append(part.data(), part.data() + part.size());
  };
  out.push_back('"');
  std::size_t plain = 0;  // start of the run of bytes written as they are
  for (std::size_t k = 0; k < text.size();) {
    const auto byte = static_cast<unsigned char>(text[k]);
    if (byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\') {
      ++k;
      continue;
    }
    if (byte >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text.substr(k));
      if (length != 0) {
        k += length;
        continue;
      }
    }
    append(text.substr(plain, k - plain));
    if (byte >= 0x80) {
      append("\\ufffd");
    } else if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(byte));
    } else if (byte == '\n') {
      append("\\n");
    } else if (byte == '\r') {
      append("\\r");
    } else if (byte == '\t') {
      append("\\t");
    } else {
      append("\\u00");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    }
    plain = ++k;
  }
  append(text.substr(plain));
  out.push_back('"');
}

}  // namespace valtrix
