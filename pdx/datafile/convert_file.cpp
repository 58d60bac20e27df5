#include "pdx/datafile/convert_file.h"

#include "pdx/datafile/data_file.h"
#include "pdx/util/errors.h"
#include "pdx/util/file.h"

namespace pdx {

ConvertResult convert_file(const char *input, const char *output, const ConvertOptions &options) {
    ConvertResult result;
    const auto stop = [&](ConvertStage stage, int code) {
        result.stage = stage;
        result.code = code;
        return result;
    };
    if (options.check_input && !u_file_exists(input)) {
        return stop(ConvertStage::input, ERR_CANT_OPEN_FILE);
    }
    if (!options.force && options.check_output &&
        !(options.write_through_descriptors && u_output_names_descriptor(output)) &&
        u_file_exists(output)) {
        return stop(ConvertStage::output, ERR_CANT_CREATE_FILE);
    }
    if (options.on_start) {
        options.on_start();
    }

    // The matrix gives its buffer back when it goes out of scope, whatever
    // happens.
    PhaseMatrix phase;
    if (const int rc = data_file_read(input, nullptr, nullptr, nullptr, &phase); rc != 0) {
        return stop(ConvertStage::read, rc);
    }
    const UPublish publish = options.force ? UPublish::replace : UPublish::if_absent;
    const int rc = options.write ? options.write(output, phase, publish, &result.left_behind)
                                 : matrix_file_write(output, &phase, options.big_endian, publish,
                                                     &result.left_behind);
    if (rc == ERR_CANT_CREATE_FILE) {
        return stop(ConvertStage::output, rc);
    }
    if (rc != 0) {
        return stop(ConvertStage::write, rc);
    }
    return result;
}

} // namespace pdx
