#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "pdx/util/path.h"

#ifdef _WIN32
#include <windows.h>
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

FileName file_name(const NativeString &native) {
    return FileName{native, utf8(native.c_str())};
}

std::string FileName::path() const {
    return pdx::u_path_from_utf16(
        std::u16string_view(reinterpret_cast<const char16_t *>(native.data()), native.size()));
}

#else

FileName file_name(const NativeString &native) {
    return FileName{native, native};
}

std::string FileName::path() const {
    return pdx::u_path_from_bytes(native);
}

#endif

std::vector<FileName> command_arguments(int argc, NativeString::value_type **argv) {
    std::vector<FileName> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(file_name(argv[i]));
    }
    return args;
}

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
