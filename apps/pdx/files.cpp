#include "files.h"

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <system_error>

#include "common/console.h"
#include "walk.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// `name` matches `pattern` (`*` any run, `?` any one unit), case folded.
bool matches(const wchar_t *pattern, const wchar_t *name) {
    const wchar_t *star = nullptr;
    const wchar_t *resume = nullptr;
    while (*name != 0) {
        if (*pattern == L'*') {
            star = ++pattern;
            resume = name;
        } else if (*pattern == L'?' ||
                   (*pattern != 0 && std::towlower(*pattern) == std::towlower(*name))) {
            ++pattern;
            ++name;
        } else if (star != nullptr) {
            pattern = star;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') {
        ++pattern;
    }
    return *pattern == 0;
}

// The files that `arg` names, when its last component holds a wildcard.
std::vector<NativeString> expand(const NativeString &arg) {
    std::size_t last = arg.size();
    while (last > 0 && !is_separator(arg[last - 1])) {
        --last;
    }
    NativeString pattern = arg.substr(last);
    if (pattern.find_first_of(L"*?") == NativeString::npos) {
        return {};
    }
    if (pattern == L"*.*") {
        pattern = L"*"; // as Windows reads it: every name, dotted or not
    }
    const NativeString dir = arg.substr(0, last);
    std::vector<NativeString> found;
    WIN32_FIND_DATAW data;
    HANDLE h =
        FindFirstFileExW(arg.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            matches(pattern.c_str(), data.cFileName)) {
            found.push_back(dir + data.cFileName);
        }
    } while (FindNextFileW(h, &data));
    FindClose(h);
    // In natural order, as folders are listed (walk.h).
    std::sort(found.begin(), found.end(), [](const NativeString &a, const NativeString &b) {
        return natural_less(utf8(a.c_str()), utf8(b.c_str()));
    });
    return found;
}

} // namespace

void expand_wildcards(std::vector<FileName> &names) {
    std::vector<FileName> out;
    for (FileName &name : names) {
        std::vector<NativeString> found = expand(name.native);
        if (found.empty()) {
            out.push_back(std::move(name));
        }
        for (const NativeString &f : found) {
            out.push_back(file_name(f));
        }
    }
    names = std::move(out);
}

NativeString name_key(const FileName &name) {
    std::error_code ec;
    NativeString key = fs::absolute(fs::path(name.native), ec).lexically_normal().native();
    for (wchar_t &c : key) {
        c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(c));
    }
    return key;
}

#else

void expand_wildcards(std::vector<FileName> &) {}

NativeString name_key(const FileName &name) {
    std::error_code ec;
    return fs::absolute(fs::path(name.native), ec).lexically_normal().native();
}

#endif

FileName output_name(const FileName &input, const FileName *dir, const char *ext) {
    const fs::path in(input.native);
    fs::path leaf = in.filename().native().empty() ? in : in.filename();
    leaf.replace_extension(ext);
    const fs::path out = dir != nullptr ? fs::path(dir->native) / leaf : in.parent_path() / leaf;
    return file_name(out.native());
}

bool is_directory(const FileName &name) {
    std::error_code ec;
    return fs::is_directory(fs::path(name.native), ec);
}

bool file_size(const FileName &name, unsigned long long &size) {
    std::error_code ec;
    const auto n = fs::file_size(fs::path(name.native), ec);
    if (ec) {
        return false;
    }
    size = n;
    return true;
}

std::string base_name(const FileName &name) {
    return file_name(fs::path(name.native).filename().native()).text;
}
