#pragma once

#include <string>

// Text at the border of the Windows API. The program keeps paths as byte strings; on Windows
// they hold the UTF-16 text the system gave, as WTF-8: UTF-8 that also carries a surrogate
// without its partner, which Windows names may contain. Every path goes back to exactly the
// UTF-16 it came from, and the ASCII markers are found and replaced in it as in the wide text.
namespace textfile::windows {

std::wstring to_wide(const std::string& text);
std::string to_narrow(const std::wstring& text);

// The argument text of a command line: what follows the program's own name and the blanks
// after it, as it stands, except that a text enclosed whole in one pair of double quotes loses
// that pair (no Windows name holds a quote; Explorer quotes a dropped path with a blank).
std::wstring argument_text_of(const std::wstring& command_line);

// The system's own text for an error code, without its line end and closing period.
std::string system_error_text(unsigned long error);

}  // namespace textfile::windows
