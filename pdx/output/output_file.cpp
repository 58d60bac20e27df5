// The output path's logic shared by every platform: opening through the
// platform's own name, committing (flush, close, publish) and abandoning,
// and the names of temporaries. The platform's half is in
// output_file_posix.cpp or output_file_windows.cpp.

#include "pdx/output/output_file.h"

#include <atomic>
#include <new>
#include <string>

#include "pdx/util/errors.h"
#include "pdx/util/platform.h"

namespace pdx {

namespace {

// Tells apart the temporaries of one process.
std::atomic<unsigned> temp_counter{0};

// At most this many units of the output's own name go into a temporary's
// name, which then stays well inside the usual 255-unit limit.
constexpr std::size_t kTempBaseUnits = 120;

// ASCII text as a native name.
template <typename Name> Name native_text(const std::string &text) {
    return Name(text.begin(), text.end());
}

} // namespace

UOutputFile::Name UOutputFile::temp_name(const Name &dir, const Name &base) {
    // ".<name>.<process id>.<n>.tmp". The suffix is built by appending:
    // GCC 12 at -O3 takes "." + std::string for an overlapping copy
    // (-Wrestrict), a false alarm that stops a build with warnings as errors.
    std::string suffix = ".";
    suffix += std::to_string(u_platform_process_id());
    suffix += '.';
    suffix += std::to_string(temp_counter++);
    suffix += ".tmp";
    return dir + native_text<Name>(".") + base.substr(0, kTempBaseUnits) +
           native_text<Name>(suffix);
}

int UOutputFile::open(const char *path, UPublish publish) {
    abandon();
    publish_ = publish;
    left_behind_.clear();
    try {
        Name name;
        if (!u_platform_native_name(path, name) || name.empty()) {
            return ERR_CANT_OPEN_FILE;
        }
        const int rc = open_native(name);
        if (rc != 0) {
            abandon();
        }
        return rc;
    } catch (const std::bad_alloc &) {
        abandon();
        return ERR_CANT_OPEN_FILE;
    }
}

int UOutputFile::commit() {
    if (stream_ == nullptr) {
        abandon();
        return ERR_CANT_WRITE_FILE;
    }
    // Buffered bytes reach the file only when flushed: a failed flush or
    // close is a failed write.
    int result = 0;
    if (std::fflush(stream_) != 0 || std::ferror(stream_)) {
        result = ERR_CANT_WRITE_FILE;
    }
    if (result == 0 && method_ == Method::temporary) {
        seal();
    }
    if (std::fclose(stream_) != 0 && result == 0) {
        result = ERR_CANT_WRITE_FILE;
    }
    stream_ = nullptr;
    if (result == 0 && method_ == Method::temporary) {
        result = publish();
    }
    abandon();
    return result;
}

void UOutputFile::abandon() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temp_.empty()) {
        remove_temp();
    }
    method_ = Method::none;
}

} // namespace pdx
