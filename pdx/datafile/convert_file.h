#pragma once

#include <functional>
#include <string>

#include "pdx/datafile/matrix_file.h"
#include "pdx/matrix/region_matrix.h"
#include "pdx/output/output_file.h"

namespace pdx {

// One data file's phase map to one output file: the checks, the read and
// the write that a converting program does per file. Paths are path
// arguments (util/path.h). The input is read whole and closed before the
// output is opened, so an output that names the input itself is rewritten
// from memory.

// Where a conversion stopped.
enum class ConvertStage {
    done,   // converted: the output holds the input's phase map
    input,  // the input is not an existing regular file (ERR_CANT_OPEN_FILE)
    output, // the output's name is taken and was not to be replaced
            // (ERR_CANT_CREATE_FILE), found before or after the write
    read,   // the input did not read (code: data_file_read's)
    write,  // the output was not written (code: the writer's)
};

struct ConvertResult {
    ConvertStage stage = ConvertStage::done;
    int code = 0; // 0 when done
    // A temporary that could not be removed (a directory that lets names be
    // added but not removed), whatever the stage; empty otherwise.
    std::string left_behind;
};

// Writes `phase` to `path` as matrix_file_write does: published as
// `publish` says, returning ERR_CANT_CREATE_FILE when the name was taken,
// and naming in *left_behind a temporary that could not be removed.
using PhaseWriter = std::function<int(const char *path, const PhaseMatrix &phase, UPublish publish,
                                      std::string *left_behind)>;

struct ConvertOptions {
    bool big_endian = false; // the data matrix file's byte order
    bool force = false;      // replace an existing output
    // Refuse an input that is not an existing regular file before anything
    // else (stage input); otherwise the caller has looked, and an input gone
    // since fails to read.
    bool check_input = true;
    // Without `force`, refuse an output whose name is taken before the
    // input is read (stage output); otherwise the caller has just looked,
    // and a name taken since is refused when the output is published.
    bool check_output = true;
    // An output that names a descriptor the process has open (/dev/stdout)
    // is written through it without -f: whoever opened the descriptor has
    // decided what it may overwrite.
    bool write_through_descriptors = true;
    // Called once the checks have passed, before the input is read.
    std::function<void()> on_start;
    // Writes the output; empty: the data matrix file (matrix_file_write).
    PhaseWriter write;
};

// Converts the data file `input` to `output`. Without `force` an existing
// output is refused before the input is read, and the output is published
// only if its name is still free once it is complete (another run may have
// taken it meanwhile).
ConvertResult convert_file(const char *input, const char *output,
                           const ConvertOptions &options = {});

} // namespace pdx
