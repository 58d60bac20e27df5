// pdx_convert: converts one binary data file into a data matrix file.
//
//   pdx_convert [options] input output
//
// Every message goes to the standard error stream; nothing is written on the
// standard output. The exit status names the stage that failed:
//   0 success, 1 command line, 2 input not a regular file, 3 output exists
//   without -f, 4 reading the input failed, 5 writing the output failed.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/exit_status.h"
#include "pdx/datafile/convert_file.h"
#include "pdx/output/signals.h"
#include "pdx/util/errors.h"
#include "pdx/util/standard_streams.h"

namespace {

// The usage text, one write per piece.
void print_usage() {
    static const char *const pieces[] = {
        "\nUsage:  pdx_convert [options] input output\n",
        "\tinput  = existing Vesk binary data file\n",
        "\toutput = Vesk data matrix file to create\n",
        "\tOptions:\n",
        "\t\t-b\tto output big-endian data\n",
        "\t\t\t(default little-endian)\n",
        "\t\t-f\twrites output even if file already exists\n",
    };
    for (const char *piece : pieces) {
        std::fputs(piece, stderr);
    }
}

void print_unable(const char *input, const char *output) {
    message("Unable to convert \"%s\" to \"%s\" because...\n", input, output);
}

// A path taken from the command line: absent until an argument fills it.
class PathArgument {
  public:
    void set(const FileName &arg) {
        text_ = arg.text;
        path_ = arg.path();
        present_ = true;
    }
    bool present() const { return present_; }
    // The argument as typed, for messages.
    const char *text() const { return text_.c_str(); }
    // The path argument for the file functions.
    const char *path() const { return path_.c_str(); }

  private:
    std::string text_;
    std::string path_;
    bool present_ = false;
};

struct CommandLine {
    PathArgument input;
    PathArgument output;
    bool bigEndian = false;
    bool force = false;
};

// Fills `cmd` from the arguments; false when the command line is malformed
// (fewer than two arguments, an unknown option, a third path or a missing
// path). Only the character right after '-' selects an option, so "-bf" is
// "-b"; options may stand anywhere and repeat.
bool parse_command_line(const std::vector<FileName> &args, CommandLine &cmd) {
    if (args.size() < 2) {
        return false;
    }
    for (const FileName &arg : args) {
        const std::string &text = arg.text;
        if (text[0] == '-') {
            switch (text[1]) {
            case 'b':
                cmd.bigEndian = true;
                break;
            case 'f':
                cmd.force = true;
                break;
            default:
                return false;
            }
        } else if (!cmd.input.present()) {
            cmd.input.set(arg);
        } else if (!cmd.output.present()) {
            cmd.output.set(arg);
        } else {
            return false;
        }
    }
    return cmd.input.present() && cmd.output.present();
}

// Runs one conversion.
int convert(const CommandLine &cmd) {
    const char *input = cmd.input.text();
    const char *output = cmd.output.text();

    pdx::ConvertOptions how;
    how.big_endian = cmd.bigEndian;
    how.force = cmd.force;
    how.on_start = [&] { message("Converting \"%s\" to \"%s\"\n", input, output); };
    const pdx::ConvertResult result = pdx::convert_file(cmd.input.path(), cmd.output.path(), how);

    int status = exit_success;
    switch (result.stage) {
    case pdx::ConvertStage::input:
        print_unable(input, output);
        message("\t\"%s\" does not exist\n", input);
        return exit_no_input;
    case pdx::ConvertStage::output:
        print_unable(input, output);
        message("\t\"%s\" already exists\n", output);
        status = exit_output_exists;
        break;
    case pdx::ConvertStage::read:
        print_unable(input, output);
        message("\tthere was an error reading the file \"%s\"\n", input);
        message("\t%s\n", pdx::u_error_name(result.code));
        return exit_read_failed;
    case pdx::ConvertStage::write:
        print_unable(input, output);
        message("\tthere was an error writing to the file \"%s\"\n", output);
        message("\t%s\n", pdx::u_error_name(result.code));
        status = exit_write_failed;
        break;
    case pdx::ConvertStage::done:
        message("Conversion from \"%s\" to \"%s\" successful\n", input, output);
        break;
    }
    // A directory that lets names be added but not removed keeps the
    // temporary (after a success, as a second name of the output).
    if (!result.left_behind.empty()) {
        message("\tthe temporary file \"%s\" could not be removed\n", result.left_behind.c_str());
    }
    return status;
}

int run(const std::vector<FileName> &args) {
    // The messages are the same bytes on every platform, so scripts that
    // read them need no per-platform handling.
    pdx::u_platform_binary_stderr();
    // A write refused for the file-size limit or a vanished reader is then a
    // failed write, reported as such, not the end of the process; a reader
    // of the messages that has gone does not stop a conversion either.
    pdx::u_platform_ignore_write_signals();
    // Interrupted (Ctrl-C, a batch job stopped), a run leaves no temporary
    // beside its output.
    pdx::u_platform_remove_temporaries_on_signals();

    CommandLine cmd;
    if (!parse_command_line(args, cmd)) {
        print_usage();
        return exit_command_line;
    }
    return convert(cmd);
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t **argv) {
    return run(command_arguments(argc, argv));
}
#else
int main(int argc, char **argv) {
    return run(command_arguments(argc, argv));
}
#endif
