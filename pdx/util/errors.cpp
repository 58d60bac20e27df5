#include "pdx/util/errors.h"

#include <cstdio>

namespace pdx {

const char *const u_error_names[kErrorCount + 1] = {"",
#define U_ERROR_NAME(name) #name,
                                                    U_ERROR_LIST(U_ERROR_NAME)
#undef U_ERROR_NAME
};

static_assert(sizeof(u_error_names) / sizeof(u_error_names[0]) == 463);
static_assert(ERR_AC_CANT_AGC == 1 && ERR_CANT_OPEN_FILE == 120 && ERR_NO_MEM == 320 &&
              ERR_ZOOM_TIMEOUT == kErrorCount && kErrorCount == 462);

const char *u_error_name(int code) {
    static char text[512];
    if (code == 0) {
        std::snprintf(text, sizeof text, "%s", "NO_ERROR");
    } else if (code >= 1 && code <= kErrorCount) {
        std::snprintf(text, sizeof text, "%s", u_error_names[code]);
    } else {
        std::snprintf(text, sizeof text, "invalid error number %d", code);
    }
    return text;
}

std::string_view u_error_name_view(int code) {
    if (code == 0) {
        return "NO_ERROR";
    }
    if (code >= 1 && code <= kErrorCount) {
        return u_error_names[code];
    }
    return {};
}

} // namespace pdx
