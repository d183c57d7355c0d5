// Text as the kit shows it: Windows' UTF-16 as UTF-8, and the one-line,
// quoted, escaped and hexadecimal forms that the driver's messages, the
// checks' problems and the report's lines are made of.
#pragma once

#include <string>

// UTF-16 text as UTF-8.
std::string Narrow(const std::wstring& text);

// `text` on one line: each line break (CR LF, LF or CR) shown as " / ", other
// control characters as spaces.
std::string OneLine(const std::string& text);

// "\"text\"" on one line, for a report line.
std::string Quoted(const std::wstring& text);

// Bytes as they are, but CR and LF shown as \r and \n: a file's exact line
// ends in a problem's words.
std::string Escaped(const std::string& bytes);

// `value` as "0x" and at least eight upper-case hexadecimal digits.
std::string Hex(unsigned long long value);

// `text` with the characters that XML reserves escaped, and without the
// control characters that it forbids.
std::string EscapeXml(const std::string& text);
