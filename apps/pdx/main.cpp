// pdx: inspects, converts and exports binary data files, many per run.
//
//   pdx info [--json] [--stats] [MEASURES] [-r] FILE|DIR...
//   pdx convert [-b] [-f|-u|-n] [-o DIR] [-r] FILE|DIR...
//   pdx export --to gsf|tiff|npy|png [--size N [--enlarge]] [MEASURES] [-o DIR] [-f|-u|-n]
//              [-r] FILE|DIR...
//   pdx report [-o PAGE] [--size N] [MEASURES] [-f] [-r] FILE|DIR...
//
// A folder stands for the data files in it (walk.h).
//
// MEASURES: --valid MIN:MAX, --nodata VALUE..., --all, --pixel-size X[,Y],
// --z-scale Z, --calibration FILE.
//
// Reports go to the standard output (info); every diagnostic goes to the
// standard error stream. The exit status is 0, 1 for a malformed command
// line, 6 when the standard output could not be written, or else the
// largest status of any file (numbered as pdx_convert's).

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "batch.h"
#include "commands.h"
#include "common/console.h"
#include "common/exit_status.h"
#include "files.h"
#include "pdx/measure/calibration.h"
#include "pdx/output/signals.h"
#include "pdx/util/standard_streams.h"
#include "shown_name.h"
#include "standard_output.h"
#include "walk.h"

#ifndef PDX_VERSION
#define PDX_VERSION "unknown"
#endif

namespace {

const char kMainHelp[] =
    "Usage: pdx COMMAND [OPTIONS] FILE|DIR...\n"
    "\n"
    "Inspects, converts and exports the binary data files of a phase-measuring\n"
    "interferometer, many files per run. A folder stands for the data files in\n"
    "it, told by their first bytes whatever their names, in natural order\n"
    "(run2 before run10); with -r, those in its subfolders too.\n"
    "\n"
    "Commands:\n"
    "  info      what each file holds, as text or as JSON Lines\n"
    "  convert   each file to a data matrix file, as pdx_convert writes it\n"
    "  export    each file's phase map as GSF, TIFF, NPY or a PNG preview\n"
    "  report    one HTML page to screen the files: previews, statistics and\n"
    "            the files that do not read\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this help; 'pdx COMMAND --help' shows a command's\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 when every file succeeded, 1 for a malformed command line,\n"
    "6 when the standard output could not be written, otherwise the largest of\n"
    "the files' statuses: 2 missing input, 3 existing output, 4 unreadable\n"
    "input, 5 failed write.\n";

// What info and export say of the measurement options, in both helps.
#define PDX_MEASURE_HELP                                                                           \
    "Invalid samples: by default a sample whose magnitude is 2^30 or more is a\n"                  \
    "marker (instruments mark unmeasured samples so, often with 2147483647).\n"                    \
    "  --valid MIN:MAX    only samples within are valid; either bound may be\n"                    \
    "                     left out (\"-500:\", \":1200\")\n"                                       \
    "  --nodata VALUE     samples equal to VALUE are invalid (up to 16 times)\n"                   \
    "  --all              every sample is valid (not with --valid or --nodata)\n"                  \
    "With --valid or --nodata the marker rule no longer applies.\n"                                \
    "\n"                                                                                           \
    "Scale, each length with its unit (m, mm, um or nm):\n"                                        \
    "  --pixel-size X[,Y] a camera pixel's size across and down (0.52um)\n"                        \
    "  --z-scale Z        the height of one phase count (0.158nm)\n"                               \
    "  --calibration FILE a calibration file (JSON) holding any of these; the\n"                   \
    "                     options given replace its members one by one\n"

#define PDX_FOLDER_HELP                                                                            \
    "  -r          a folder given stands for the data files in its subfolders\n"                   \
    "              too (without -r, for those directly in it)\n"

#define PDX_MIRROR_HELP                                                                            \
    "\n"                                                                                           \
    "With -o DIR, the files found in a folder's subfolders have their outputs in\n"                \
    "the same subfolders of DIR, made as needed. Files passed over by -u or -n\n"                  \
    "are counted as skipped in the summary, and are no failure.\n"

const char kInfoHelp[] =
    "Usage: pdx info [--json] [--stats] [--valid MIN:MAX] [--nodata VALUE] [--all]\n"
    "                [--pixel-size X[,Y]] [--z-scale Z] [--calibration FILE]\n"
    "                [-r] [-j N] [-q] FILE|DIR...\n"
    "\n"
    "Shows what each FILE holds: whether it reads (and if not, the error's\n"
    "name), its header length, its size and the size its header implies, the\n"
    "phase region (with a pixel size, also in its unit) and the intensity\n"
    "region with its frame count and tag. A width or height above 32767 is\n"
    "shown as stored, with the reason.\n"
    "\n"
    "  --json      one JSON object per file and line (JSON Lines) on the\n"
    "              standard output\n"
    "  --stats     add the count of samples and of valid ones, the minimum,\n"
    "              maximum, mean and standard deviation of the valid ones\n"
    "              (and their heights with --z-scale), whether 32-bit floats\n"
    "              hold them all, and the invalid values met with their counts\n" PDX_FOLDER_HELP
    "  -j N        work on N files at a time (default: the number of cores)\n"
    "  -q          no progress line\n"
    "  -h, --help  show this help\n"
    "\n" PDX_MEASURE_HELP;

const char kConvertHelp[] =
    "Usage: pdx convert [-b] [-f|-u|-n] [-o DIR] [-r] [-j N] [-q] FILE|DIR...\n"
    "\n"
    "Converts each FILE into NAME.bin beside it, the data matrix file that\n"
    "pdx_convert writes: every sample exactly as stored. For invalid samples\n"
    "and a scale, use 'pdx export'.\n"
    "\n"
    "  -b          write big-endian (default: little-endian)\n"
    "  -f          replace outputs that already exist\n"
    "  -u          (--update) pass over a file whose output exists and is not\n"
    "              older than it; replace older outputs\n"
    "  -n          (--no-clobber) pass over a file whose output exists\n"
    "  -o DIR      write the outputs into DIR, an existing directory\n" PDX_FOLDER_HELP
    "  -j N        work on N files at a time (default: the number of cores)\n"
    "  -q          no progress line\n"
    "  -h, --help  show this help\n" PDX_MIRROR_HELP;

const char kExportHelp[] =
    "Usage: pdx export --to FORMAT [--size N [--enlarge]] [--valid MIN:MAX]\n"
    "                  [--nodata VALUE] [--all] [--pixel-size X[,Y]] [--z-scale Z]\n"
    "                  [--calibration FILE] [-o DIR] [-f|-u|-n] [-r] [-j N] [-q]\n"
    "                  FILE|DIR...\n"
    "\n"
    "Exports each FILE's phase map into NAME.gsf, .tif, .npy or .png beside it,\n"
    "row 0 (the file's first) at the top, with the map's camera origin, the\n"
    "input's name and the scale (pixels and counts without one).\n"
    "\n"
    "  --to FORMAT   gsf (Gwyddion Simple Field), tiff or tif (32-bit float),\n"
    "                npy (NumPy) or png (a colour preview), in any case;\n"
    "                invalid samples are\n"
    "                NaN in gsf and tiff, transparent in png; npy holds the\n"
    "                exact int32 samples, or float32 with NaN and heights when\n"
    "                --valid, --nodata or a z scale is given\n"
    "  --size N      png: the longest side in pixels (default 1024; 0: the\n"
    "                map's own size); larger maps are reduced to it\n"
    "  --enlarge     png: enlarge smaller maps to --size too (nearest\n"
    "                neighbour)\n"
    "  -f            replace outputs that already exist\n"
    "  -u            (--update) pass over a file whose output exists and is\n"
    "                not older than it; replace older outputs\n"
    "  -n            (--no-clobber) pass over a file whose output exists\n"
    "  -o DIR        write the outputs into DIR, an existing directory\n"
    "  -r            a folder given stands for the data files in its\n"
    "                subfolders too (without -r, for those directly in it)\n"
    "  -j N          work on N files at a time (default: the number of cores)\n"
    "  -q            no progress line\n"
    "  -h, --help    show this help\n" PDX_MIRROR_HELP "\n" PDX_MEASURE_HELP "\n"
    "A map with no valid sample, or written as 32-bit floats (GSF, TIFF, NPY of\n"
    "floats) with valid samples beyond 2^24, which such floats hold only\n"
    "approximately, is exported with a warning line.\n";

const char kReportHelp[] =
    "Usage: pdx report [-o PAGE] [--size N] [--valid MIN:MAX] [--nodata VALUE]\n"
    "                  [--all] [--pixel-size X[,Y]] [--z-scale Z] [--calibration FILE]\n"
    "                  [-f] [-r] [-j N] [-q] FILE|DIR...\n"
    "\n"
    "Writes one HTML page to screen the files, which any browser opens offline:\n"
    "for each file its preview (the PNG preview's colours, invalid samples\n"
    "transparent), name, size and origin, valid percentage, minimum, maximum,\n"
    "mean and standard deviation of the valid samples (heights with a z\n"
    "scale) and the colour range; the files that do not read are listed at\n"
    "the top with their errors. Click a heading to sort by it. The previews\n"
    "go into a folder beside the page, PAGE's name with _files for .html.\n"
    "\n"
    "  -o PAGE     the page (default: report.html)\n"
    "  --size N    the previews' longest side in pixels (default 160)\n"
    "  -f          replace the page if it exists\n" PDX_FOLDER_HELP
    "  -j N        work on N files at a time (default: the number of cores)\n"
    "  -q          no progress line\n"
    "  -h, --help  show this help\n"
    "\n" PDX_MEASURE_HELP;

// A malformed command line: the problem, and where to look.
int usage_error(const std::string &command, const std::string &problem) {
    write_text(stderr, command + ": " + problem + "\nTry '" + command + " --help'.\n");
    return exit_command_line;
}

// A format as users type it: in any case, and "tif" as the files are named.
std::string format_name(std::string_view value) {
    std::string name(value);
    for (char &c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return name == "tif" ? "tiff" : name;
}

bool parse_number(std::string_view text, unsigned long long max, unsigned long long &value) {
    const char *end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && at == end && !text.empty() && value <= max;
}

// The options that say which samples are measurements and what scale they
// have, as info and export take them: each given one replaces the member of
// the calibration file (if any) that it names.
struct Measures {
    std::optional<FileName> calibration;
    std::optional<pdx::ValidRange> valid;
    std::vector<std::int32_t> nodata;
    bool all = false;
    std::optional<pdx::PixelSize> pixel_size;
    std::optional<pdx::ZScale> z_scale;
};

bool is_measure_option(const std::string &name) {
    return name == "--valid" || name == "--nodata" || name == "--all" || name == "--pixel-size" ||
           name == "--z-scale" || name == "--calibration";
}

// Takes one measurement option with its value (none for --all, and the
// calibration file's name is set by the caller); returns "" or the problem.
std::string take_measure(const std::string &name, const std::string &value, Measures &m) {
    const char *kLength = "a positive length with its unit (m, mm, um or nm)";
    if (name == "--all") {
        m.all = true;
    } else if (name == "--valid") {
        pdx::ValidRange range;
        if (pdx::parse_valid_range(value, &range) != 0) {
            return "--valid takes MIN:MAX, whole numbers with MIN <= MAX, either left out: " +
                   quoted_name(value);
        }
        m.valid = range;
    } else if (name == "--nodata") {
        std::int32_t v = 0;
        if (pdx::parse_nodata(value, &v) != 0) {
            return "--nodata takes a whole number within the 32-bit range: " + quoted_name(value);
        }
        if (m.nodata.size() == pdx::Validity::kMaxNodata) {
            return "--nodata is taken at most " + std::to_string(pdx::Validity::kMaxNodata) +
                   " times";
        }
        m.nodata.push_back(v);
    } else if (name == "--pixel-size") {
        pdx::PixelSize size;
        if (pdx::parse_pixel_size(value, &size) != 0) {
            return std::string("--pixel-size takes X or X,Y, each ") + kLength +
                   ", such as 0.52um: " + quoted_name(value);
        }
        m.pixel_size = size;
    } else if (name == "--z-scale") {
        pdx::ZScale z;
        if (pdx::parse_z_scale(value, &z) != 0) {
            return std::string("--z-scale takes the height of one count, ") + kLength +
                   ", such as 0.158nm: " + quoted_name(value);
        }
        m.z_scale = z;
    }
    return "";
}

// Reads the calibration file, puts the options given over its members and
// sets the rule and scale in `options`. Returns 0, or status 1 after one
// line on what is wrong.
int apply_measures(const Measures &m, Options &options, const std::string &command) {
    if (m.all && (m.valid || !m.nodata.empty())) {
        return usage_error(command, "--all keeps every sample: it is not taken with --valid or "
                                    "--nodata");
    }
    pdx::Calibration calibration;
    if (m.calibration) {
        pdx::CalibrationProblem problem;
        if (pdx::calibration_read(m.calibration->path().c_str(), &calibration, &problem) != 0) {
            write_text(stderr, command + ": calibration file " + quoted_name(m.calibration->text) +
                                   ": " + pdx::calibration_message(problem) + "\n");
            return exit_command_line;
        }
    }
    if (m.valid) {
        calibration.valid = m.valid;
    }
    if (!m.nodata.empty()) {
        calibration.nodata = m.nodata;
    }
    if (m.pixel_size) {
        calibration.pixel_size = m.pixel_size;
    }
    if (m.z_scale) {
        calibration.z_scale = m.z_scale;
    }
    options.scale = calibration.scale();
    if (m.all) {
        options.validity = pdx::Validity::all();
        return 0;
    }
    // Only a range with MIN above MAX, or too many values, is refused; the
    // options and the file's reader have refused both already.
    if (calibration.validity(&options.validity) != 0) {
        return usage_error(command, "the validity rule is not one that can be applied");
    }
    options.validity_chosen = calibration.valid.has_value() || !calibration.nodata.empty();
    return 0;
}

// Parses the arguments after the subcommand into `options`; returns 0, or
// the status after a usage error, or -1 after printing the help.
int parse(std::vector<FileName> args, Options &options, const std::string &command,
          const char *help) {
    using Command = Options::Command;
    const bool exporting = options.command == Command::export_;
    const bool reporting = options.command == Command::report;
    const bool writes = options.command != Command::info;
    const bool updates = exporting || options.command == Command::convert;
    const bool measures = options.command != Command::convert;
    bool have_format = false, have_size = false, have_enlarge = false, only_files = false;
    Measures measure;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string arg = args[i].text;
        if (only_files || arg.size() < 2 || arg[0] != '-') {
            options.files.push_back(std::move(args[i]));
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out_write(help);
            return -1;
        }
        // An option's value: the rest of the argument ("-j4", "--to=png") or
        // the next argument.
        std::string name = arg;
        std::string value;
        bool attached = false;
        if (arg[1] == '-') {
            if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                attached = true;
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
            attached = true;
        }
        const auto take_value = [&]() -> bool {
            if (attached) {
                return true;
            }
            if (i + 1 == args.size()) {
                return false;
            }
            value = args[++i].text;
            return true;
        };
        if (!measures && is_measure_option(name)) {
            return usage_error(command, name + " does not apply to convert, whose .bin files "
                                               "keep every sample exactly as stored; use "
                                               "'pdx export'");
        }
        const bool takes_value = name == "-j" || (writes && name == "-o") ||
                                 (exporting && name == "--to") ||
                                 ((exporting || reporting) && name == "--size") ||
                                 (measures && is_measure_option(name) && name != "--all");
        if (takes_value) {
            if (!take_value()) {
                return usage_error(command, "option " + name + " needs a value");
            }
        } else if (attached && arg[1] != '-') {
            // Letters run together: "-bf" is "-b", then "-f".
            FileName rest{NativeString(1, '-'), std::string(1, '-')};
            rest.native.append(args[i].native, 2);
            rest.text.append(arg, 2);
            args.insert(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(rest));
            name = arg.substr(0, 2);
        } else if (attached) {
            return usage_error(command, "option " + name + " takes no value");
        }

        if (name == "-q") {
            options.quiet = true;
        } else if (name == "-r") {
            options.recursive = true;
        } else if (updates && (name == "-u" || name == "--update")) {
            options.update = true;
        } else if (updates && (name == "-n" || name == "--no-clobber")) {
            options.no_clobber = true;
        } else if (name == "-j") {
            unsigned long long n = 0;
            if (!parse_number(value, kMaxJobs, n) || n == 0) {
                return usage_error(command, "-j takes a number of files from 1 to " +
                                                std::to_string(kMaxJobs) + ": " +
                                                quoted_name(value));
            }
            options.jobs = static_cast<unsigned>(n);
        } else if (options.command == Command::info && name == "--json") {
            options.json = true;
        } else if (options.command == Command::info && name == "--stats") {
            options.stats = true;
        } else if (writes && name == "-f") {
            options.force = true;
        } else if (reporting && name == "-o") {
            options.report =
                attached ? file_name(NativeString(args[i].native.begin() + 2, args[i].native.end()))
                         : args[i];
        } else if (writes && name == "-o") {
            // The value as typed, in the platform's own form.
            FileName dir =
                attached ? file_name(NativeString(args[i].native.begin() + 2, args[i].native.end()))
                         : args[i];
            options.out_dir = std::move(dir);
        } else if (options.command == Command::convert && name == "-b") {
            options.big_endian = true;
        } else if (exporting && name == "--to") {
            if (pdx::export_format_from_name(format_name(value), &options.exporting.format) != 0) {
                return usage_error(command, "unknown format " + quoted_name(value) +
                                                " (gsf, tiff, npy or png)");
            }
            have_format = true;
        } else if (measures && name == "--calibration") {
            // The value as typed, in the platform's own form.
            if (attached) {
                const NativeString &native = args[i].native;
                measure.calibration = file_name(native.substr(native.find('=') + 1));
            } else {
                measure.calibration = args[i];
            }
        } else if (measures && is_measure_option(name)) {
            if (const std::string problem = take_measure(name, value, measure); !problem.empty()) {
                return usage_error(command, problem);
            }
        } else if (exporting && name == "--enlarge") {
            options.exporting.png_enlarge = true;
            have_enlarge = true;
        } else if ((exporting || reporting) && name == "--size") {
            unsigned long long n = 0;
            if (!parse_number(value, 1000000, n)) {
                return usage_error(command, "--size takes a number of pixels from 0 to "
                                            "1000000: " +
                                                quoted_name(value));
            }
            options.exporting.png_size = static_cast<int>(n);
            have_size = true;
        } else {
            return usage_error(command, "unknown option " + quoted_name(arg));
        }
    }

    if (exporting) {
        const pdx::ExportFormat format = options.exporting.format;
        if (!have_format) {
            return usage_error(command, "--to FORMAT is required (gsf, tiff, npy or png)");
        }
        if (have_size && format != pdx::ExportFormat::png) {
            return usage_error(command, "--size applies to png only");
        }
        if (have_enlarge && (format != pdx::ExportFormat::png || options.exporting.png_size == 0)) {
            return usage_error(command, "--enlarge applies to png with a --size above 0");
        }
    }
    if (reporting && options.exporting.png_size == 0) {
        return usage_error(command, "--size takes a number of pixels from 1 to 1000000 here");
    }
    if (options.no_clobber && (options.force || options.update)) {
        return usage_error(command, std::string("-n keeps every output there already: it is not "
                                                "taken with ") +
                                        (options.force ? "-f" : "-u"));
    }
    if (options.files.empty()) {
        return usage_error(command, "no files given");
    }
    if (options.report && is_directory(*options.report)) {
        return usage_error(command, "-o " + quoted_name(options.report->text) +
                                        " is a folder; -o takes the page's file name");
    }
    if (options.out_dir && !is_directory(*options.out_dir)) {
        return usage_error(command,
                           "-o " + quoted_name(options.out_dir->text) + " is not a directory");
    }
    return measures ? apply_measures(measure, options, command) : 0;
}

int run(std::vector<FileName> args) {
    // The messages are the same bytes on every platform.
    pdx::u_platform_binary_stderr();
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    // A full file-size limit or a vanished reader is a failed write, not the
    // end of the process; an interrupted run leaves no temporary behind.
    pdx::u_platform_ignore_write_signals();
    pdx::u_platform_remove_temporaries_on_signals();

    if (args.empty()) {
        write_text(stderr, std::string(kMainHelp));
        return exit_command_line;
    }
    const std::string first = args.front().text;
    args.erase(args.begin());
    if (first == "-h" || first == "--help") {
        out_write(kMainHelp);
        return exit_success;
    }
    if (first == "--version") {
        out_write("pdx " PDX_VERSION "\n");
        return exit_success;
    }

    Options options;
    const char *help = nullptr;
    if (first == "info") {
        options.command = Options::Command::info;
        help = kInfoHelp;
    } else if (first == "convert") {
        options.command = Options::Command::convert;
        help = kConvertHelp;
    } else if (first == "export") {
        options.command = Options::Command::export_;
        help = kExportHelp;
    } else if (first == "report") {
        options.command = Options::Command::report;
        options.exporting.png_size = 160;
        help = kReportHelp;
    } else {
        return usage_error("pdx", "unknown command " + quoted_name(first) +
                                      " (info, convert, export or report)");
    }
    const int parsed = parse(std::move(args), options, "pdx " + first, help);
    if (parsed != 0) {
        return parsed < 0 ? exit_success : parsed;
    }
    expand_wildcards(options.files);
    std::vector<Input> inputs =
        expand_folders(std::move(options.files), options.recursive, options.walk_status);
    options.files.clear();
    for (Input &input : inputs) {
        options.files.push_back(std::move(input.file));
        options.subfolders.push_back(std::move(input.subfolder));
    }
    if (options.jobs == 0) {
        options.jobs = default_jobs();
    }
    const int status = options.command == Options::Command::info     ? run_info(options)
                       : options.command == Options::Command::report ? run_report(options)
                                                                     : run_convert(options);
    // A folder that could not be listed, unless the standard output failed.
    return status == exit_stdout_failed ? status : std::max(status, options.walk_status);
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    return out_close(run(command_arguments(argc, argv)));
}
#else
int main(int argc, char **argv) {
    return out_close(run(command_arguments(argc, argv)));
}
#endif
