// Exports a data matrix file (little-endian) for the export tests:
//
//   export_driver FORMAT INPUT OUTPUT [--valid MIN:MAX] [--size N] [--title T] [-f]
//
// Exit status 0, or 1 with the error's name on stderr.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pdx/datafile/matrix_file.h"
#include "pdx/export/export.h"
#include "pdx/util/errors.h"

int main(int argc, char **argv) {
    pdx::ExportOptions options;
    if (argc < 4 || pdx::export_format_from_name(argv[1], &options.format) != 0) {
        std::fputs("usage: export_driver gsf|tiff|npy|png INPUT OUTPUT [options]\n", stderr);
        return 1;
    }
    for (int i = 4; i < argc; ++i) {
        const bool value = i + 1 < argc;
        if (std::strcmp(argv[i], "-f") == 0) {
            options.publish = pdx::UPublish::replace;
        } else if (value && std::strcmp(argv[i], "--valid") == 0) {
            if (pdx::parse_valid_range(argv[++i], &options.valid) != 0) {
                std::fputs("bad range\n", stderr);
                return 1;
            }
        } else if (value && std::strcmp(argv[i], "--size") == 0) {
            options.png_size = std::atoi(argv[++i]);
        } else if (value && std::strcmp(argv[i], "--title") == 0) {
            options.title = argv[++i];
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 1;
        }
    }
    pdx::PhaseMatrix m;
    int rc = pdx::matrix_file_read(argv[2], &m, false);
    if (rc == 0) {
        rc = pdx::export_matrix(argv[3], m, options);
    }
    if (rc != 0) {
        std::fprintf(stderr, "%s\n", pdx::u_error_name(rc));
        return 1;
    }
    return 0;
}
