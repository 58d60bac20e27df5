#include "walk.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "common/console.h"
#include "common/exit_status.h"
#include "pdx/datafile/data_file.h"
#include "shown_name.h"

namespace fs = std::filesystem;

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int folded(char c) {
    if (c == '/') {
        return -1;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 'a';
    }
    return static_cast<unsigned char>(c);
}

void folder_problem(const fs::path &folder, const std::string &problem) {
    write_text(stderr, "pdx: " + quoted_name(file_name(folder.native()).text) +
                           ": folder: " + problem + "\n");
}

struct Found {
    std::string key; // the path below the folder given, "/" between its parts
    Input input;
};

// Lists `folder` (`below` it the folder given) into `found`, and with
// `recursive` its subfolders; links to folders are not followed, so no
// folder is listed twice over a loop. Returns false when some folder could
// not be listed (reported).
bool list(const fs::path &folder, const fs::path &below, bool recursive,
          std::vector<Found> &found) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        folder_problem(folder, "cannot be listed: " + ec.message());
        return false;
    }
    bool whole = true;
    std::vector<fs::path> subfolders;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::directory_entry &entry = *it;
        std::error_code kind_ec;
        if (entry.is_directory(kind_ec)) {
            if (recursive && !entry.is_symlink(kind_ec)) {
                subfolders.push_back(entry.path().filename());
            }
            continue;
        }
        const FileName name = file_name(entry.path().native());
        if (!entry.is_regular_file(kind_ec) || !has_data_magic(name)) {
            continue;
        }
        const fs::path leaf = below / entry.path().filename();
        found.push_back({file_name(leaf.generic_string<NativeString::value_type>()).text,
                         Input{name, below.native()}});
    }
    if (ec) {
        folder_problem(folder, "cannot be listed: " + ec.message());
        whole = false;
    }
    for (const fs::path &sub : subfolders) {
        whole = list(folder / sub, below / sub, recursive, found) && whole;
    }
    return whole;
}

} // namespace

bool natural_less(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::size_t i0 = i, j0 = j;
            while (i0 < a.size() && a[i0] == '0') {
                ++i0;
            }
            while (j0 < b.size() && b[j0] == '0') {
                ++j0;
            }
            std::size_t i1 = i0, j1 = j0;
            while (i1 < a.size() && is_digit(a[i1])) {
                ++i1;
            }
            while (j1 < b.size() && is_digit(b[j1])) {
                ++j1;
            }
            if (i1 - i0 != j1 - j0) {
                return i1 - i0 < j1 - j0;
            }
            if (const int c = a.substr(i0, i1 - i0).compare(b.substr(j0, j1 - j0)); c != 0) {
                return c < 0;
            }
            i = i1;
            j = j1;
            continue;
        }
        const int ca = folded(a[i]), cb = folded(b[j]);
        if (ca != cb) {
            return ca < cb;
        }
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) {
        return j < b.size();
    }
    return a < b; // equal but for case or leading zeros
}

bool has_data_magic(const FileName &name) {
    if (pdx::data_file_has_magic(name.path().c_str())) {
        return true;
    }
    // One that cannot be opened is kept, for the read to report.
    return !std::ifstream(std::filesystem::path(name.native), std::ios::binary).is_open();
}

std::vector<Input> expand_folders(std::vector<FileName> names, bool recursive, int &status) {
    std::vector<Input> inputs;
    for (FileName &name : names) {
        if (!is_directory(name)) {
            inputs.push_back(Input{std::move(name), {}});
            continue;
        }
        std::vector<Found> found;
        if (!list(fs::path(name.native), fs::path(), recursive, found)) {
            status = std::max<int>(status, exit_read_failed);
        } else if (found.empty()) {
            // Kept, to be reported as the folder with no data files that it is.
            inputs.push_back(Input{std::move(name), {}});
            continue;
        }
        std::sort(found.begin(), found.end(),
                  [](const Found &a, const Found &b) { return natural_less(a.key, b.key); });
        for (Found &f : found) {
            inputs.push_back(std::move(f.input));
        }
    }
    return inputs;
}

bool output_is_current(const FileName &input, const FileName &output) {
    std::error_code ec;
    const auto in = fs::last_write_time(fs::path(input.native), ec);
    if (ec) {
        return false;
    }
    const auto out = fs::last_write_time(fs::path(output.native), ec);
    return !ec && out >= in;
}
