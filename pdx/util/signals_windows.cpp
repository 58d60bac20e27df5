// The process-wide side of the output path on Windows: there are no write
// signals to ignore, and an interrupted program's temporaries are not
// tracked, so these do nothing.

#include "pdx/util/signals.h"

namespace pdx {

void u_platform_ignore_write_signals() {}
void u_platform_remove_temporaries_on_signals() {}
void u_platform_remove_temporaries() {}

} // namespace pdx
