// pdx: inspects, converts and exports binary data files, many per run.
//
//   pdx info [--json] [--stats] FILE...
//   pdx convert [-b] [-f] [-o DIR] FILE...
//   pdx export --to gsf|tiff|npy|png [--valid MIN:MAX] [--size N] [-o DIR] [-f] FILE...
//
// Reports go to the standard output (info); every diagnostic goes to the
// standard error stream. The exit status is 0, 1 for a malformed command
// line, 6 when the standard output could not be written, or else the
// largest status of any file (numbered as pdx_convert's).

#include <charconv>
#include <cstdio>
#include <cstring>
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
#include "pdx/output/signals.h"
#include "pdx/util/standard_streams.h"
#include "shown_name.h"
#include "standard_output.h"

#ifndef PDX_VERSION
#define PDX_VERSION "unknown"
#endif

namespace {

const char kMainHelp[] =
    "Usage: pdx COMMAND [OPTIONS] FILE...\n"
    "\n"
    "Inspects, converts and exports the binary data files of a phase-measuring\n"
    "interferometer, many files per run.\n"
    "\n"
    "Commands:\n"
    "  info      what each file holds, as text or as JSON Lines\n"
    "  convert   each file to a data matrix file, as pdx_convert writes it\n"
    "  export    each file's phase map as GSF, TIFF, NPY or a PNG preview\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this help; 'pdx COMMAND --help' shows a command's\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 when every file succeeded, 1 for a malformed command line,\n"
    "6 when the standard output could not be written, otherwise the largest of\n"
    "the files' statuses: 2 missing input, 3 existing output, 4 unreadable\n"
    "input, 5 failed write.\n";

const char kInfoHelp[] =
    "Usage: pdx info [--json] [--stats] [-j N] [-q] FILE...\n"
    "\n"
    "Shows what each FILE holds: whether it reads (and if not, the error's\n"
    "name), its header length, its size and the size its header implies, the\n"
    "phase region and the intensity region with its frame count and tag.\n"
    "\n"
    "  --json      one JSON object per file and line (JSON Lines) on the\n"
    "              standard output\n"
    "  --stats     add the phase samples' count, minimum, maximum, mean,\n"
    "              standard deviation, and whether 32-bit floats hold them all\n"
    "  -j N        work on N files at a time (default: the number of cores)\n"
    "  -q          no progress line\n"
    "  -h, --help  show this help\n";

const char kConvertHelp[] =
    "Usage: pdx convert [-b] [-f] [-o DIR] [-j N] [-q] FILE...\n"
    "\n"
    "Converts each FILE into NAME.bin beside it, the data matrix file that\n"
    "pdx_convert writes.\n"
    "\n"
    "  -b          write big-endian (default: little-endian)\n"
    "  -f          replace outputs that already exist\n"
    "  -o DIR      write the outputs into DIR, an existing directory\n"
    "  -j N        work on N files at a time (default: the number of cores)\n"
    "  -q          no progress line\n"
    "  -h, --help  show this help\n";

const char kExportHelp[] =
    "Usage: pdx export --to FORMAT [--valid MIN:MAX] [--size N] [-o DIR] [-f]\n"
    "                  [-j N] [-q] FILE...\n"
    "\n"
    "Exports each FILE's phase map into NAME.gsf, .tif, .npy or .png beside it.\n"
    "\n"
    "  --to FORMAT      gsf (Gwyddion Simple Field), tiff (32-bit float),\n"
    "                   npy (NumPy int32) or png (a colour preview)\n"
    "  --valid MIN:MAX  samples outside are invalid: NaN in gsf and tiff, grey\n"
    "                   in png; either bound may be left out\n"
    "  --size N         png: the longest side in pixels (default 1024; 0: the\n"
    "                   map's own size)\n"
    "  -f               replace outputs that already exist\n"
    "  -o DIR           write the outputs into DIR, an existing directory\n"
    "  -j N             work on N files at a time (default: the number of cores)\n"
    "  -q               no progress line\n"
    "  -h, --help       show this help\n";

// A malformed command line: the problem, and where to look.
int usage_error(const std::string &command, const std::string &problem) {
    write_text(stderr, command + ": " + problem + "\nTry '" + command + " --help'.\n");
    return exit_command_line;
}

bool parse_number(std::string_view text, unsigned long long max, unsigned long long &value) {
    const char *end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && at == end && !text.empty() && value <= max;
}

// Parses the arguments after the subcommand into `options`; returns 0, or
// the status after a usage error, or -1 after printing the help.
int parse(std::vector<FileName> args, Options &options, const std::string &command,
          const char *help) {
    using Command = Options::Command;
    const bool exporting = options.command == Command::export_;
    const bool writes = options.command != Command::info;
    bool have_format = false, have_valid = false, have_size = false, only_files = false;

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
        const bool takes_value =
            name == "-j" || (writes && name == "-o") ||
            (exporting && (name == "--to" || name == "--valid" || name == "--size"));
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
        } else if (writes && name == "-o") {
            // The value as typed, in the platform's own form.
            FileName dir =
                attached ? file_name(NativeString(args[i].native.begin() + 2, args[i].native.end()))
                         : args[i];
            options.out_dir = std::move(dir);
        } else if (options.command == Command::convert && name == "-b") {
            options.big_endian = true;
        } else if (exporting && name == "--to") {
            if (pdx::export_format_from_name(value, &options.exporting.format) != 0) {
                return usage_error(command, "unknown format " + quoted_name(value) +
                                                " (gsf, tiff, npy or png)");
            }
            have_format = true;
        } else if (exporting && name == "--valid") {
            if (pdx::parse_valid_range(value, &options.exporting.valid) != 0) {
                return usage_error(command, "--valid takes MIN:MAX, whole numbers with MIN "
                                            "<= MAX, either left out: " +
                                                quoted_name(value));
            }
            have_valid = true;
        } else if (exporting && name == "--size") {
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
        if (have_valid && format == pdx::ExportFormat::npy) {
            return usage_error(command, "--valid does not apply to npy, whose samples are exact");
        }
    }
    if (options.files.empty()) {
        return usage_error(command, "no files given");
    }
    if (options.out_dir && !is_directory(*options.out_dir)) {
        return usage_error(command,
                           "-o " + quoted_name(options.out_dir->text) + " is not a directory");
    }
    return 0;
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
    } else {
        return usage_error("pdx",
                           "unknown command " + quoted_name(first) + " (info, convert or export)");
    }
    const int parsed = parse(std::move(args), options, "pdx " + first, help);
    if (parsed != 0) {
        return parsed < 0 ? exit_success : parsed;
    }
    expand_wildcards(options.files);
    if (options.jobs == 0) {
        options.jobs = default_jobs();
    }
    return options.command == Options::Command::info ? run_info(options) : run_convert(options);
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
