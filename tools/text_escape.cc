// Quoting of arbitrary bytes for the tools' text and JSON output.
#include "tools/text_escape.h"

#include <cstdio>

namespace trhsm_tools {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes there are not one.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t n;
  unsigned min;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  unsigned cp = b & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

void AppendHex(std::string* out, const char* format, unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, format, value);
  out->append(buf);
}

}  // namespace

std::string JsonQuote(const std::string& bytes) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      size_t n = Utf8SequenceLength(bytes, i);
      if (n == 0) {
        // Not part of valid UTF-8: the byte 0xXX is written as the lone surrogate U+DCXX, which
        // no valid UTF-8 text holds, so the name's bytes can be told apart and taken back.
        AppendHex(&out, "\\udc%02x", c);
        ++i;
      } else {
        out.append(bytes, i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          AppendHex(&out, "\\u%04x", c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string CQuote(const std::string& bytes) {
  std::string out = "\"";
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          AppendHex(&out, "\\x%02x", c);
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace trhsm_tools
