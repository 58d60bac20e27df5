#pragma once

// Runs a program as a child process with its standard output and standard
// error redirected to files, and returns its exit status and both outputs as
// raw bytes; `cwd`, when not empty, is the child's working directory. The
// standard output may go elsewhere instead (StdoutTo): a full device, a pipe
// whose reader is gone, or nowhere (closed).
// POSIX: fork and execv. Windows: CreateProcessW with inherited file
// handles; arguments are UTF-8, go to the child as UTF-16 and are quoted by
// the rules that the C runtime uses to split the command line again.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "support/temp_dir.h"

namespace test_support {

enum class StdoutTo { file, full_device, closed_pipe, closed };

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string read_text(const std::filesystem::path &p) {
    const Bytes bytes = read_file(p);
    return std::string(bytes.begin(), bytes.end());
}

#ifdef _WIN32

inline std::wstring to_wide(const std::string &s) {
    if (s.empty()) {
        return std::wstring();
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// One argument quoted so that the runtime's command-line parser gives it
// back unchanged: backslashes double only before a quote or the closing one.
inline std::wstring quote_argument(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(2 * backslashes + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, L'\\');
    out.push_back(L'"');
    return out;
}

inline HANDLE inheritable_file(const std::filesystem::path &p, DWORD how = CREATE_ALWAYS) {
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE h = CreateFileW(p.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, how,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create " + p.string());
    }
    return h;
}

inline ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                                 const std::filesystem::path &capture_dir,
                                 const std::filesystem::path &cwd = {},
                                 StdoutTo stdout_to = StdoutTo::file) {
    const std::filesystem::path out_path = capture_dir / "stdout.txt";
    const std::filesystem::path err_path = capture_dir / "stderr.txt";
    std::wstring command_line = quote_argument(to_wide(program));
    for (const std::string &arg : args) {
        command_line += L" " + quote_argument(to_wide(arg));
    }
    HANDLE out = inheritable_file(out_path);
    HANDLE err = inheritable_file(err_path);
    if (stdout_to != StdoutTo::file) {
        CloseHandle(out);
        out = nullptr;
    }
    if (stdout_to == StdoutTo::full_device) {
        // Linux's full device, where Wine shows the root as drive Z:.
        out = inheritable_file("Z:\\dev\\full", OPEN_EXISTING);
    }
    if (stdout_to == StdoutTo::closed_pipe) {
        SECURITY_ATTRIBUTES sa{};
        sa.nLength = sizeof sa;
        sa.bInheritHandle = TRUE;
        HANDLE reader = nullptr;
        if (!CreatePipe(&reader, &out, &sa, 0)) {
            throw std::runtime_error("cannot make a pipe");
        }
        CloseHandle(reader);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    const std::wstring app = to_wide(program);
    const std::wstring dir = cwd.wstring();
    const BOOL started = CreateProcessW(app.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, dir.empty() ? nullptr : dir.c_str(), &si, &pi);
    if (out != nullptr) {
        CloseHandle(out);
    }
    CloseHandle(err);
    if (!started) {
        throw std::runtime_error("cannot start " + program);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ProcessResult{static_cast<int>(code), read_text(out_path), read_text(err_path)};
}

#else

inline ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                                 const std::filesystem::path &capture_dir,
                                 const std::filesystem::path &cwd = {},
                                 StdoutTo stdout_to = StdoutTo::file) {
    const std::filesystem::path out_path = capture_dir / "stdout.txt";
    const std::filesystem::path err_path = capture_dir / "stderr.txt";
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int out = -1;
        int pipe_ends[2];
        if (stdout_to != StdoutTo::closed_pipe) {
            out = open(stdout_to == StdoutTo::full_device ? "/dev/full" : out_path.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
        } else if (pipe(pipe_ends) == 0) {
            close(pipe_ends[0]);
            out = pipe_ends[1];
        }
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            (!cwd.empty() && chdir(cwd.c_str()) != 0)) {
            _exit(126);
        }
        close(out);
        close(err);
        if (stdout_to == StdoutTo::closed) {
            close(1);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) != pid) {
        throw std::runtime_error("waitpid failed");
    }
    ProcessResult result;
    // A child killed by a signal reports 128 + the signal, as a shell would.
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    return result;
}

#endif

} // namespace test_support
