#pragma once

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

} // namespace pdx
