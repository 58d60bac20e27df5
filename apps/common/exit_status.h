#pragma once

// Exit statuses, by the stage that failed: pdx_convert ends with one; pdx
// gives one to each file and ends with the largest, or with
// exit_stdout_failed when its own standard output could not be written.
enum ExitStatus : int {
    exit_success = 0,
    exit_command_line = 1,
    exit_no_input = 2,
    exit_output_exists = 3,
    exit_read_failed = 4,
    exit_write_failed = 5,
    exit_stdout_failed = 6, // pdx only
};
