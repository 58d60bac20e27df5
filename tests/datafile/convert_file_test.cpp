#include "pdx/datafile/convert_file.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "pdx/util/errors.h"
#include "support/data_file_builder.h"
#include "support/temp_dir.h"

namespace {

using namespace pdx;
using test_support::Bytes;
using test_support::DataFileBuilder;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

// Where a conversion stops and with which code, as a caller of the library
// sees it; whether the checks ran before the input was read (on_start), and
// what the output's name holds afterwards.
TEST(ConvertFile, EachStageWithItsCode) {
    const Bytes good = DataFileBuilder().phase(2, 1, {7, -7}).build();
    const Bytes taken{1, 2, 3};
    struct Case {
        const char *name;
        bool input_exists, input_good, output_taken, force, check_input, check_output;
        ConvertStage stage;
        int code;
        bool started;
        std::size_t output_size; // 0: no output
    } cases[] = {
        {"converted", true, true, false, false, true, true, ConvertStage::done, 0, true, 12},
        {"replaced with force", true, true, true, true, true, true, ConvertStage::done, 0, true,
         12},
        {"no input", false, true, false, false, true, true, ConvertStage::input, ERR_CANT_OPEN_FILE,
         false, 0},
        {"no input, not looked for", false, true, false, false, false, true, ConvertStage::read,
         ERR_CANT_OPEN_FILE, true, 0},
        {"name taken", true, true, true, false, true, true, ConvertStage::output,
         ERR_CANT_CREATE_FILE, false, 3},
        {"name taken, found at publishing", true, true, true, false, true, false,
         ConvertStage::output, ERR_CANT_CREATE_FILE, true, 3},
        {"damaged input", true, false, false, false, true, true, ConvertStage::read,
         ERR_NOT_A_DATA_FILE, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string in = dir.file("in.dat");
        const std::string out = dir.file("out.bin");
        if (c.input_exists) {
            write_file(in, c.input_good ? good : Bytes(900, 0));
        }
        if (c.output_taken) {
            write_file(out, taken);
        }
        ConvertOptions how;
        how.force = c.force;
        how.check_input = c.check_input;
        how.check_output = c.check_output;
        bool started = false;
        how.on_start = [&] { started = true; };
        const ConvertResult r = convert_file(in.c_str(), out.c_str(), how);
        EXPECT_EQ(r.stage, c.stage);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(std::filesystem::exists(out) ? read_file(out).size() : 0, c.output_size);
    }
}

} // namespace
