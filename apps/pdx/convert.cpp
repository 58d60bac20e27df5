// pdx convert and pdx export: one output per input, named from it.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "common/exit_status.h"
#include "file_identity.h"
#include "file_kind.h"
#include "pdx/datafile/convert_file.h"
#include "pdx/export/export.h"
#include "pdx/output/output_file.h"
#include "pdx/util/errors.h"
#include "pdx/util/file.h"
#include "shown_name.h"
#include "walk.h"

#ifndef PDX_VERSION
#define PDX_VERSION "unknown"
#endif

namespace {

// The Software tag and chunk of every export.
constexpr char kSoftware[] = "pdx " PDX_VERSION;

} // namespace

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
        // A file found in a subfolder of a folder given has its output in
        // the same subfolder of DIR, made here so that the output's
        // identity is that of the file to be written.
        const NativeString &sub = options.subfolders[i];
        std::optional<FileName> mirror;
        if (dir != nullptr && !sub.empty()) {
            mirror = file_name((std::filesystem::path(dir->native) / sub).native());
        }
        outputs.push_back(output_name(inputs[i], mirror ? &*mirror : dir, ext));
        if (const FileKind kind = file_kind(inputs[i]); kind != FileKind::regular) {
            batch.failure(i, inputs[i].text, "input", kind_problem(kind), exit_no_input);
            continue;
        }
        if (mirror) {
            std::error_code ec;
            std::filesystem::create_directories(std::filesystem::path(mirror->native), ec);
            if (ec) {
                batch.failure(i, inputs[i].text, "output folder " + quoted_name(mirror->text),
                              "cannot be made: " + ec.message(), exit_write_failed);
                continue;
            }
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
        const std::string out_stage = "output " + quoted_name(output.text);
        if (!options.force && pdx::u_file_exists(output.path().c_str())) {
            if (options.no_clobber || (options.update && output_is_current(input, output))) {
                batch.skipped();
                return static_cast<int>(exit_success);
            }
            if (!options.update) {
                return fail(out_stage, "already exists", exit_output_exists);
            }
        }
        pdx::ConvertOptions how;
        how.big_endian = options.big_endian;
        how.force = options.force || options.update; // -u replaces the older outputs it found
        how.check_input = false;                     // file_kind has looked
        how.check_output = false;                    // looked just above
        how.write_through_descriptors = false;
        pdx::ExportNotes notes;
        if (exporting) {
            how.write = [&](const char *path, const pdx::PhaseMatrix &phase, pdx::UPublish publish,
                            std::string *left_behind) {
                pdx::ExportOptions e = options.exporting;
                const std::string title = base_name(input);
                e.title = title;
                e.publish = publish;
                e.left_behind = left_behind;
                e.validity = options.validity;
                e.scale = options.scale;
                // The exact counts unless the samples are to be told apart or
                // scaled; "--all" keeps them exact as they are.
                e.npy_float = options.validity_chosen || options.scale.z.has_value();
                e.origin = pdx::Origin{phase.x, phase.y};
                e.software = kSoftware;
                e.notes = &notes;
                return pdx::export_matrix(path, phase, e);
            };
        }
        const pdx::ConvertResult result =
            pdx::convert_file(input.path().c_str(), output.path().c_str(), how);

        if (!result.left_behind.empty()) {
            // A directory that lets files be added but not removed: say
            // which file is left, whatever became of the output.
            batch.report(input.text, out_stage,
                         "the temporary file " + quoted_name(result.left_behind) +
                             " could not be removed");
        }
        switch (result.stage) {
        case pdx::ConvertStage::done:
            break;
        case pdx::ConvertStage::input:
        case pdx::ConvertStage::read:
            return fail("read", error_name(result.code), exit_read_failed);
        case pdx::ConvertStage::output:
            return fail(out_stage, "already exists", exit_output_exists);
        case pdx::ConvertStage::write:
            if (result.code == pdx::ERR_NO_DATA) {
                return fail("export", "no phase samples (" + error_name(result.code) + ")",
                            exit_read_failed);
            }
            return fail("write " + quoted_name(output.text), error_name(result.code),
                        exit_write_failed);
        }
        // Written all the same; the user may want to look again.
        if (notes.nothing_valid) {
            batch.report(input.text, "warning",
                         std::string("no sample is valid; ") +
                             (options.exporting.format == pdx::ExportFormat::png
                                  ? "the preview is all transparent"
                                  : "every value is NaN"));
        } else if (notes.float_inexact) {
            batch.report(input.text, "warning",
                         "some valid samples are beyond 2^24, where 32-bit floats hold them "
                         "only approximately");
        }
        return static_cast<int>(exit_success);
    });
}
