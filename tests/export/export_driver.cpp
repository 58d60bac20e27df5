// Exports a data matrix file (little-endian), or with --data a data file,
// for the export tests:
//
//   export_driver FORMAT INPUT OUTPUT [--valid MIN:MAX] [--nodata V]... [--all]
//                 [--npy-float] [--pixel-size S] [--z-scale S] [--origin X,Y]
//                 [--size N] [--enlarge] [--title T] [--software S] [--data] [-f]
//
// --valid alone sets the options' old range field; with --nodata or --all
// the validity rule. Prints "nothing_valid=0|1 float_inexact=0|1" on
// success. Exit status 0, or 1 with the error's name on stderr.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pdx/datafile/data_file.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/export/export.h"
#include "pdx/util/errors.h"

int main(int argc, char **argv) {
    pdx::ExportOptions options;
    if (argc < 4 || pdx::export_format_from_name(argv[1], &options.format) != 0) {
        std::fputs("usage: export_driver gsf|tiff|npy|png INPUT OUTPUT [options]\n", stderr);
        return 1;
    }
    bool data = false;
    bool all = false;
    std::vector<std::int32_t> nodata;
    pdx::ExportNotes notes;
    options.notes = &notes;
    for (int i = 4; i < argc; ++i) {
        const bool value = i + 1 < argc;
        const char *a = argv[i];
        bool ok = true;
        if (std::strcmp(a, "-f") == 0) {
            options.publish = pdx::UPublish::replace;
        } else if (std::strcmp(a, "--data") == 0) {
            data = true;
        } else if (std::strcmp(a, "--all") == 0) {
            all = true;
        } else if (std::strcmp(a, "--npy-float") == 0) {
            options.npy_float = true;
        } else if (std::strcmp(a, "--enlarge") == 0) {
            options.png_enlarge = true;
        } else if (value && std::strcmp(a, "--valid") == 0) {
            ok = pdx::parse_valid_range(argv[++i], &options.valid) == 0;
        } else if (value && std::strcmp(a, "--nodata") == 0) {
            nodata.push_back(0);
            ok = pdx::parse_nodata(argv[++i], &nodata.back()) == 0;
        } else if (value && std::strcmp(a, "--pixel-size") == 0) {
            options.scale.pixel.emplace();
            ok = pdx::parse_pixel_size(argv[++i], &*options.scale.pixel) == 0;
        } else if (value && std::strcmp(a, "--z-scale") == 0) {
            options.scale.z.emplace();
            ok = pdx::parse_z_scale(argv[++i], &*options.scale.z) == 0;
        } else if (value && std::strcmp(a, "--origin") == 0) {
            pdx::Origin o;
            ok = std::sscanf(argv[++i], "%d,%d", &o.x, &o.y) == 2;
            options.origin = o;
        } else if (value && std::strcmp(a, "--size") == 0) {
            options.png_size = std::atoi(argv[++i]);
        } else if (value && std::strcmp(a, "--title") == 0) {
            options.title = argv[++i];
        } else if (value && std::strcmp(a, "--software") == 0) {
            options.software = argv[++i];
        } else {
            std::fprintf(stderr, "unknown option %s\n", a);
            return 1;
        }
        if (!ok) {
            std::fprintf(stderr, "bad value for %s\n", a);
            return 1;
        }
    }
    if (all) {
        options.validity = pdx::Validity::all();
    } else if (!nodata.empty()) {
        if (pdx::Validity::chosen(options.valid, nodata, &options.validity) != 0) {
            std::fputs("bad rule\n", stderr);
            return 1;
        }
        options.valid = {};
    }
    pdx::PhaseMatrix m;
    int rc = data ? pdx::data_file_read(argv[2], nullptr, nullptr, nullptr, &m)
                  : pdx::matrix_file_read(argv[2], &m, false);
    if (rc == 0) {
        rc = pdx::export_matrix(argv[3], m, options);
    }
    if (rc != 0) {
        std::fprintf(stderr, "%s\n", pdx::u_error_name(rc));
        return 1;
    }
    std::printf("nothing_valid=%d float_inexact=%d\n", notes.nothing_valid ? 1 : 0,
                notes.float_inexact ? 1 : 0);
    return 0;
}
