#pragma once

#include <string>
#include <string_view>

namespace pdx {

// Path arguments. A path is a pointer to bytes in one of two forms:
//  - narrow: a NUL-terminated byte string in the process's code page;
//  - wide: the two mark bytes FF FE or FE FF, then UTF-16 code units in host
//    order ending with a 16-bit zero. Either mark selects the wide form and
//    nothing is swapped: the mark does not choose a byte order.
// A path is wide exactly when it is not null, its first byte is not 0 and
// its first two bytes, read as one host-order 16-bit unit, are 0xFEFF or
// 0xFFFE.

bool u_path_is_wide(const char *path);

// The path argument that opens exactly the file named by the bytes `name`
// (a name given as bytes, as POSIX file names are): the bytes themselves,
// behind "./" when they begin with the two bytes of a mark and would
// otherwise be taken for a wide path. Such a name can only be relative (an
// absolute one begins with '/'), so "./" names the same file. The caller
// refuses a name with a zero byte in it, which no file has.
std::string u_path_from_bytes(std::string_view name);

// The wide path argument for the UTF-16 name `name` (host order, as Windows
// names are): the mark, the units and a zero unit.
std::string u_path_from_utf16(std::u16string_view name);

} // namespace pdx
