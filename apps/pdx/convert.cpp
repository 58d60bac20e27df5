// pdx convert and pdx export: one output per input, named from it.

#include <map>
#include <string>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "common/exit_status.h"
#include "file_identity.h"
#include "file_kind.h"
#include "pdx/datafile/convert_file.h"
#include "pdx/export/export.h"
#include "pdx/util/errors.h"
#include "shown_name.h"

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

    return batch.run(options.jobs, [&](std::size_t i) {
        const FileName &input = inputs[i];
        const FileName &output = outputs[i];
        const auto fail = [&](const std::string &stage, const std::string &error, int status) {
            batch.failure(i, input.text, stage, error, status);
            return status;
        };
        pdx::ConvertOptions how;
        how.big_endian = options.big_endian;
        how.force = options.force;
        how.check_input = false; // file_kind has looked
        how.write_through_descriptors = false;
        if (exporting) {
            how.write = [&](const char *path, const pdx::PhaseMatrix &phase, pdx::UPublish publish,
                            std::string *left_behind) {
                pdx::ExportOptions e = options.exporting;
                const std::string title = base_name(input);
                e.title = title;
                e.publish = publish;
                e.left_behind = left_behind;
                return pdx::export_matrix(path, phase, e);
            };
        }
        const pdx::ConvertResult result =
            pdx::convert_file(input.path().c_str(), output.path().c_str(), how);

        const std::string out_stage = "output " + quoted_name(output.text);
        if (!result.left_behind.empty()) {
            // A directory that lets files be added but not removed: say
            // which file is left, whatever became of the output.
            batch.report(input.text, out_stage,
                         "the temporary file " + quoted_name(result.left_behind) +
                             " could not be removed");
        }
        switch (result.stage) {
        case pdx::ConvertStage::done:
            return static_cast<int>(exit_success);
        case pdx::ConvertStage::input:
        case pdx::ConvertStage::read:
            return fail("read", error_name(result.code), exit_read_failed);
        case pdx::ConvertStage::output:
            return fail(out_stage, "already exists", exit_output_exists);
        case pdx::ConvertStage::write:
            break;
        }
        if (result.code == pdx::ERR_NO_DATA) {
            return fail("export", "no phase samples (" + error_name(result.code) + ")",
                        exit_read_failed);
        }
        return fail("write " + quoted_name(output.text), error_name(result.code),
                    exit_write_failed);
    });
}
