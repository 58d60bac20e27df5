#pragma once

namespace pdx {

// Puts the standard error stream in binary mode where the platform
// distinguishes one (Windows), so that messages are the same bytes
// everywhere: "\n" is not turned into "\r\n". Elsewhere it does nothing.
// For programs, at start.
void u_platform_binary_stderr();

} // namespace pdx
