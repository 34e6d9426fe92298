#include "textfile/windows/windows_text.h"

#include <windows.h>

#include <string>

namespace textfile {
namespace windows {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool is_high_surrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_code_point(std::wstring& wide, unsigned long code_point) {
  if (code_point < 0x10000) {
    wide += static_cast<wchar_t>(code_point);
  } else {
    code_point -= 0x10000;
    wide += static_cast<wchar_t>(0xD800 + (code_point >> 10));
    wide += static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF));
  }
}

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::wstring to_wide(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t size = text.size();
  std::size_t at = 0;
  while (at < size) {
    unsigned char lead = bytes[at];
    std::size_t length = lead < 0x80    ? 1
                         : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC2 ? 2
                                        : 0;
    if (length == 0 || lead > 0xF4 || at + length > size) {
      wide += lead < 0x80 ? static_cast<wchar_t>(lead) : kReplacement;
      at += 1;
      continue;
    }
    unsigned long code_point = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = true;
    for (std::size_t i = 1; i < length; ++i) {
      if ((bytes[at + i] & 0xC0) != 0x80) valid = false;
      code_point = (code_point << 6) | (bytes[at + i] & 0x3F);
    }
    // Overlong forms and code points past Unicode are not text; surrogates are kept.
    static constexpr unsigned long kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!valid || code_point < kSmallest[length] || code_point > 0x10FFFF) {
      wide += kReplacement;
      at += 1;
      continue;
    }
    append_code_point(wide, code_point);
    at += length;
  }
  return wide;
}

std::string to_narrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    unsigned long unit = static_cast<unsigned short>(text[at]);
    if (is_high_surrogate(unit) && at + 1 < text.size() &&
        is_low_surrogate(static_cast<unsigned short>(text[at + 1]))) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<unsigned short>(text[++at]) - 0xDC00);
    }
    if (unit < 0x80) {
      narrow += static_cast<char>(unit);
    } else if (unit < 0x800) {
      narrow += static_cast<char>(0xC0 | (unit >> 6));
      narrow += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      narrow += static_cast<char>(0xE0 | (unit >> 12));
      narrow += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      narrow += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      narrow += static_cast<char>(0xF0 | (unit >> 18));
      narrow += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
      narrow += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      narrow += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return narrow;
}

std::wstring argument_text_of(const std::wstring& command_line) {
  // The program's name ends at the first blank outside double quotes, as the C runtime reads it.
  std::size_t at = 0;
  bool quoted = false;
  while (at < command_line.size() && (quoted || !is_blank(command_line[at]))) {
    if (command_line[at] == L'"') quoted = !quoted;
    ++at;
  }
  while (at < command_line.size() && is_blank(command_line[at])) ++at;
  std::wstring text = command_line.substr(at);
  if (text.size() >= 2 && text.front() == L'"' && text.find(L'"', 1) == text.size() - 1) {
    text = text.substr(1, text.size() - 2);
  }
  return text;
}

std::string system_error_text(unsigned long error) {
  wchar_t* buffer = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length > 0 ? std::wstring(buffer, length) : std::wstring();
  if (buffer != nullptr) ::LocalFree(buffer);
  // The report puts the code after the text on the same line, as on POSIX.
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.pop_back();
  }
  if (!text.empty() && text.back() == L'.') text.pop_back();
  return text.empty() ? "unknown error" : to_narrow(text);
}

}  // namespace windows

}  // namespace textfile
