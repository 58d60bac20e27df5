#pragma once

// Names as messages show them. A name holding a control character (C0,
// DEL or C1) or bytes that are not UTF-8 could start a line of its own or
// drive the terminal; it is shown in the quoting of a POSIX shell instead,
// each such byte escaped within $'...': 'a'$'\n''b' for "a", a newline and
// "b". Every other name is shown as it is.

#include <string>

// The name alone: as it is, or quoted as above (pdx info's text reports).
std::string shown_name(const std::string &text);

// The name in a message: "name" in double quotes, or quoted as above.
std::string quoted_name(const std::string &text);
