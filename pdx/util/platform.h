#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "pdx/util/standard_streams.h"

namespace pdx {

// The platform's file-system calls for reading and querying (the output
// path has its own, output_file.h). Each function takes a path argument in
// either form (see path.h): on Windows a wide path goes to the wide calls
// (_wfopen, _wstat64i32) as it is; elsewhere its UTF-16 text is converted to
// UTF-8 for fopen and stat, and a path with an unpaired surrogate cannot be
// opened or queried. Private to the library: not installed.

// Opens the file for binary reading ("rb"); null on failure.
std::FILE *u_platform_open_read(const char *path);

// Queries the status of `path`; on success stores the mode bits (file type
// in mask 0xF000) and returns true. Every failure returns false.
bool u_platform_stat_mode(const char *path, unsigned *mode);

// The name the platform's own file calls take for `path` (either form): on
// Windows the UTF-16 text of a wide path, or a narrow path converted from
// the code page the narrow file calls use; elsewhere the path itself, or the
// UTF-8 form of a wide path. False for null, for a path that cannot be
// converted, and when memory runs out.
#ifdef _WIN32
bool u_platform_native_name(const char *path, std::wstring &name);
#else
bool u_platform_native_name(const char *path, std::string &name);
#endif

// The size of the regular file `stream` reads, from its status, without
// moving it; false, nothing stored, for a stream that is not a regular file
// or whose status cannot be had.
bool u_platform_regular_size(std::FILE *stream, std::uint64_t *size);

// Reads up to `size` bytes of the file `stream` reads, from `offset` on,
// into `into`, without going through the stream's buffer (POSIX: pread on
// its descriptor, which leaves the descriptor's position alone). Returns the
// bytes read: fewer only at the end of the file or on an error. For a
// regular file whose stream has not been read through.
std::size_t u_platform_read_at(std::FILE *stream, void *into, std::size_t size,
                               std::uint64_t offset);

// The identifier of this process.
unsigned long u_platform_process_id();

} // namespace pdx
