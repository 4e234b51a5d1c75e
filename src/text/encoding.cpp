#include "text/encoding.h"

#include <cstdio>

namespace torvane::text {
namespace {

struct Decoded {
  std::uint32_t code_point = 0;
  std::size_t length = 0;  // 0: no valid sequence starts here
};

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The sequence starting at bytes[at]. A lead byte gives the length (110xxxxx two,
// 1110xxxx three, 11110xxx four bytes); overlong forms, surrogates and characters
// beyond U+10FFFF are no valid sequences.
Decoded decode_at(std::string_view bytes, std::size_t at) {
  const auto lead = static_cast<unsigned char>(bytes[at]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  std::uint32_t code_point = 0;
  std::uint32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code_point = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code_point = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code_point = lead & 0x07, smallest = 0x10000;
  } else {
    return {};
  }
  if (bytes.size() - at < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[at + i]);
    if (!continuation(byte)) return {};
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  if (code_point < smallest || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return {};
  return {code_point, length};
}

}  // namespace

bool is_utf8_text(std::string_view bytes) {
  if (bytes.starts_with(kUtf8ByteOrderMark)) return true;
  bool multi_byte = false;
  for (std::size_t at = 0; at < bytes.size();) {
    const Decoded d = decode_at(bytes, at);
    if (d.length == 0) return false;
    multi_byte = multi_byte || d.length > 1;
    at += d.length;
  }
  return multi_byte;
}

CodePageText from_utf8(std::string_view utf8, CodePageByte to_byte) {
  if (utf8.starts_with(kUtf8ByteOrderMark)) utf8.remove_prefix(kUtf8ByteOrderMark.size());
  CodePageText out;
  out.text.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded d = decode_at(utf8, at);
    if (d.length <= 1) {  // ASCII, or a byte of the code page itself
      out.text += utf8[at++];
      continue;
    }
    at += d.length;
    const int byte = to_byte(d.code_point);
    if (byte < 0) {
      out.text += '?';
      out.unmapped.push_back(d.code_point);
    } else {
      out.text += static_cast<char>(byte);
    }
  }
  return out;
}

std::string code_point_name(std::uint32_t code_point) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(code_point));
  return name;
}

}  // namespace torvane::text
