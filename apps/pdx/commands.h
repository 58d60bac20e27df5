#pragma once

// The subcommands, each over the files of one command line.

#include <optional>
#include <vector>

#include "files.h"
#include "pdx/export/export.h"

struct Options {
    enum class Command { info, convert, export_, report } command = Command::info;
    std::vector<FileName> files;
    // For each file, the folder it was found in below a folder given
    // (walk.h): its output's subfolder under out_dir.
    std::vector<NativeString> subfolders;
    bool recursive = false; // -r: folders' subfolders too
    int walk_status = 0;    // exit_read_failed when a folder could not be listed
    unsigned jobs = 0;      // 0: the default
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
    bool update = false;     // -u: pass over outputs not older than their inputs
    bool no_clobber = false; // -n: pass over outputs that exist
    std::optional<FileName> out_dir;
    // convert
    bool big_endian = false;
    // export (and report: the previews' size)
    pdx::ExportOptions exporting;
    // report: the page (-o FILE; default report.html)
    std::optional<FileName> report;
};

// Each runs the whole command and returns its exit status.
int run_info(const Options &options);
int run_convert(const Options &options);
int run_report(const Options &options);
