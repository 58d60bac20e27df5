#pragma once

namespace pdx {

// True when `path` (a path argument in either form, see path.h) names an
// existing regular file; false for null, "", a missing entry, a directory, a
// device or any failing status query. The file is not opened.
bool u_file_exists(const char *path);

} // namespace pdx
