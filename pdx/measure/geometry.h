#pragma once

#include <cstdint>

#include "pdx/matrix/region_matrix.h"

namespace pdx {

// A region's size as its data file stores it, for reports on damaged files.
// Widths and heights are 16-bit fields that a map fills up to 32767; a
// damaged header may hold more, which the signed fields of Region show as
// negative (40000 as -25536). Reports show the stored value and the reason
// instead: "phase 40000 x 384: width above 32767".
struct StoredSize {
    std::uint32_t width = 0; // the field as an unsigned 16-bit value
    std::uint32_t height = 0;
    // Null for a size a map may have; otherwise "width above 32767",
    // "height above 32767" or "width and height above 32767".
    const char *damage = nullptr;
};

StoredSize stored_size(const Region &region);

} // namespace pdx
