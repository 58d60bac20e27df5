#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#ifdef _WIN32
#include <windows.h>
#else
#include "pdx/util/path.h"
#endif

namespace {

std::string format_message(const char *format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (n <= 0) {
        return std::string();
    }
    std::string text(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

#ifdef _WIN32

} // namespace

// UTF-16 to UTF-8; an unpaired surrogate shows as U+FFFD.
std::string utf8(const wchar_t *w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return std::string();
    }
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.pop_back(); // the converted terminator
    return s;
}

namespace {

// Writes `text` (UTF-8) to the console as UTF-16; false when the stream is
// not a console or the write fails.
bool write_console(std::FILE *stream, const std::string &text) {
    HANDLE h = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || h == nullptr || !GetConsoleMode(h, &mode)) {
        return false;
    }
    const int len = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), len, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), len, w.data(), n);
    DWORD written = 0;
    return WriteConsoleW(h, w.data(), static_cast<DWORD>(w.size()), &written, nullptr) != 0;
}

#endif

} // namespace

#ifdef _WIN32

std::string path_argument(const wchar_t *name) {
    // The mark FF FE, the UTF-16 units (host order) and a zero unit.
    std::string p = "\xFF\xFE";
    p.append(reinterpret_cast<const char *>(name), std::wcslen(name) * sizeof(wchar_t));
    p.append(2, '\0');
    return p;
}

std::vector<Argument> command_arguments(int argc, wchar_t **argv) {
    std::vector<Argument> args;
    for (int i = 1; i < argc; ++i) {
        Argument a;
        a.text = utf8(argv[i]);
        a.path = path_argument(argv[i]);
        args.push_back(std::move(a));
    }
    return args;
}

#else

std::string path_argument(const char *name) {
    // Names are bytes, never UTF-16. A name whose first two bytes happen to
    // be those of a wide path's mark can only be relative (an absolute one
    // begins with '/'), so "./" in front keeps it narrow and names the same
    // file.
    return pdx::u_path_is_wide(name) ? "./" + std::string(name) : std::string(name);
}

std::vector<Argument> command_arguments(int argc, char **argv) {
    std::vector<Argument> args;
    for (int i = 1; i < argc; ++i) {
        Argument a;
        a.text = argv[i];
        a.path = path_argument(argv[i]);
        args.push_back(std::move(a));
    }
    return args;
}

#endif

void write_text(std::FILE *stream, const std::string &text) {
#ifdef _WIN32
    if (write_console(stream, text)) {
        return;
    }
#endif
    std::fwrite(text.data(), 1, text.size(), stream);
}

void message(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = format_message(format, args);
    va_end(args);
    write_text(stderr, text);
}
