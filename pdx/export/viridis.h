#pragma once

#include <cstdint>

namespace pdx::export_detail {

// The viridis colour map: red, green and blue of 256 entries, darkest first.
extern const std::uint8_t kViridis[256][3];

} // namespace pdx::export_detail
