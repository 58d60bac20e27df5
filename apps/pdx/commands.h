#pragma once

// The subcommands, each over the files of one command line.

#include <optional>
#include <vector>

#include "files.h"
#include "pdx/export/export.h"

struct Options {
    enum class Command { info, convert, export_ } command = Command::info;
    std::vector<FileName> files;
    unsigned jobs = 0; // 0: the default
    bool quiet = false;
    // info and export: which samples are measurements (the marker rule by
    // default) and the scale, from --calibration and the options over it.
    pdx::Validity validity{};
    bool validity_chosen = false; // a range or nodata values, not the default
    pdx::Scale scale{};
    // info
    bool json = false;
    bool stats = false;
    // convert and export
    bool force = false;
    std::optional<FileName> out_dir;
    // convert
    bool big_endian = false;
    // export
    pdx::ExportOptions exporting;
};

// Each runs the whole command and returns its exit status.
int run_info(const Options &options);
int run_convert(const Options &options);
