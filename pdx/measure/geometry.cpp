#include "pdx/measure/geometry.h"

namespace pdx {

StoredSize stored_size(const Region &region) {
    StoredSize s;
    s.width = static_cast<std::uint16_t>(region.width);
    s.height = static_cast<std::uint16_t>(region.height);
    const bool wide = region.width < 0;
    const bool tall = region.height < 0;
    s.damage = wide && tall ? "width and height above 32767"
               : wide       ? "width above 32767"
               : tall       ? "height above 32767"
                            : nullptr;
    return s;
}

} // namespace pdx
