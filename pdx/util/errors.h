#pragma once

#include <string_view>

#include "pdx/util/error_list.h"

namespace pdx {

// Error codes: 0 is success, 1 to kErrorCount name one failure each.
// Every operation of the library that can fail returns one of these as a
// plain int.

namespace u_detail {
enum ErrorPosition : int {
    U_ERROR_POSITION_ZERO,
#define U_ERROR_POSITION(name) name##_POSITION,
    U_ERROR_LIST(U_ERROR_POSITION)
#undef U_ERROR_POSITION
        U_ERROR_POSITION_END
};
} // namespace u_detail

// One int constant per failure, valued by its position in the list.
#define U_ERROR_CONSTANT(name) inline constexpr int name = u_detail::name##_POSITION;
U_ERROR_LIST(U_ERROR_CONSTANT)
#undef U_ERROR_CONSTANT

// The highest failure code.
inline constexpr int kErrorCount = u_detail::U_ERROR_POSITION_END - 1;

// The name of each code, indexed by code: entry 0 is the empty string,
// entries 1 to kErrorCount the constants' names. Only index it with a code
// known to lie in that range; u_error_name takes any int.
extern const char *const u_error_names[kErrorCount + 1];

// The name of any int: "NO_ERROR" for 0, the table's entry for 1 to
// kErrorCount, and "invalid error number <code>" for anything else.
// The text lives in one static buffer that the next call overwrites, so
// this is not safe to call from several threads at once (u_error_name_view
// is).
const char *u_error_name(int code);

// The name of `code` from the table, safe to call from any thread: "NO_ERROR"
// for 0, the constant's name for 1 to kErrorCount, and an empty view for
// anything else, which the caller names as it sees fit. The text is static.
std::string_view u_error_name_view(int code);

} // namespace pdx
