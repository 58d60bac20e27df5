// pdx convert and pdx export: one output per input, named from it.

#include <map>
#include <string>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "common/exit_status.h"
#include "file_identity.h"
#include "file_kind.h"
#include "pdx/datafile/data_file.h"
#include "pdx/datafile/matrix_file.h"
#include "pdx/export/export.h"
#include "pdx/output/output_file.h"
#include "pdx/util/errors.h"
#include "pdx/util/file.h"
#include "shown_name.h"

std::string error_name(int code) {
    // The table, not u_error_name, whose buffer the threads would share.
    if (code >= 1 && code <= pdx::kErrorCount) {
        return pdx::u_error_names[code];
    }
    return "error " + std::to_string(code);
}

int run_convert(const Options &options) {
    const bool exporting = options.command == Options::Command::export_;
    const std::vector<FileName> &inputs = options.files;
    Batch batch(inputs.size(), exporting ? "exported" : "converted",
                !options.quiet && stderr_is_terminal());

    // Every output is named before anything is written, so that two inputs
    // never race for one file: the first claims it and the later ones fail,
    // as does an output that would replace one of the inputs. Names are
    // compared by the files they lead to (file_identity.h), however they
    // are spelled, and whatever -f says.
    const char *ext = exporting ? pdx::export_extension(options.exporting.format) : ".bin";
    const FileName *dir = options.out_dir ? &*options.out_dir : nullptr;
    std::map<FileIdentity, std::size_t> input_files;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        input_files.emplace(file_identity(inputs[i]), i);
    }
    std::vector<FileName> outputs;
    std::map<FileIdentity, std::size_t> claimed;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        outputs.push_back(output_name(inputs[i], dir, ext));
        if (const FileKind kind = file_kind(inputs[i]); kind != FileKind::regular) {
            batch.failure(i, inputs[i].text, "input", kind_problem(kind), exit_no_input);
            continue;
        }
        const FileIdentity out = file_identity(outputs[i]);
        const std::string stage = "output " + quoted_name(outputs[i].text);
        if (const auto in = input_files.find(out); in != input_files.end()) {
            batch.failure(i, inputs[i].text, stage,
                          "would replace the input " + quoted_name(inputs[in->second].text),
                          exit_output_exists);
        } else if (const auto [at, fresh] = claimed.emplace(out, i); !fresh) {
            batch.failure(i, inputs[i].text, stage,
                          "is also the output of " + quoted_name(inputs[at->second].text),
                          exit_output_exists);
        }
    }

    const pdx::UPublish publish = options.force ? pdx::UPublish::replace : pdx::UPublish::if_absent;
    return batch.run(options.jobs, [&](std::size_t i) {
        const FileName &input = inputs[i];
        const FileName &output = outputs[i];
        const std::string out_path = output.path();
        const auto fail = [&](const std::string &stage, const std::string &error, int status) {
            batch.failure(i, input.text, stage, error, status);
            return status;
        };
        const std::string out_stage = "output " + quoted_name(output.text);
        if (!options.force && pdx::u_file_exists(out_path.c_str())) {
            return fail(out_stage, "already exists", exit_output_exists);
        }
        // The matrix gives its buffer back when the job ends, whatever happens.
        pdx::PhaseMatrix phase;
        int rc = pdx::data_file_read(input.path().c_str(), nullptr, nullptr, nullptr, &phase);
        if (rc != 0) {
            return fail("read", error_name(rc), exit_read_failed);
        }
        std::string left_behind;
        if (exporting) {
            pdx::ExportOptions how = options.exporting;
            const std::string title = base_name(input);
            how.title = title;
            how.publish = publish;
            how.left_behind = &left_behind;
            rc = pdx::export_matrix(out_path.c_str(), phase, how);
        } else {
            rc = pdx::matrix_file_write(out_path.c_str(), &phase, options.big_endian, publish,
                                        &left_behind);
        }
        if (!left_behind.empty()) {
            // A directory that lets files be added but not removed: say
            // which file is left, whatever became of the output.
            batch.report(input.text, out_stage,
                         "the temporary file " + quoted_name(left_behind) +
                             " could not be removed");
        }
        if (rc == pdx::ERR_CANT_CREATE_FILE) {
            return fail(out_stage, "already exists", exit_output_exists);
        }
        if (rc == pdx::ERR_NO_DATA) {
            return fail("export", "no phase samples (" + error_name(rc) + ")", exit_read_failed);
        }
        if (rc != 0) {
            return fail("write " + quoted_name(output.text), error_name(rc), exit_write_failed);
        }
        return static_cast<int>(exit_success);
    });
}
