// The least a safe batch conversion does per file, for bench/batch_bench.py
// to put `pdx convert` beside: no checks beyond what keeps a file whole.
//
//   pdx_min_batch JOBS FILE.dat...
//
// Each FILE.dat becomes FILE.bin beside it (little-endian data matrix file)
// on JOBS threads: open, read the header, read the phase block, close;
// create a temporary exclusively, one write, fchmod, close, and a rename
// that refuses a taken name (a link and an unlink where the file system
// lacks it). Exits 1 when any file failed.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

std::uint32_t be32(const unsigned char *p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint16_t be16(const unsigned char *p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

bool convert(const std::string &in, mode_t mode, unsigned long id) {
    const int fd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    unsigned char header[4096];
    const ssize_t got = ::read(fd, header, sizeof header);
    const std::uint32_t magic = got >= 76 ? be32(header) : 0;
    const std::size_t length = magic == 0x881B0371                            ? 4096
                               : (magic == 0x881B036F || magic == 0x881B0370) ? 834
                                                                              : 0;
    const auto intensity = static_cast<std::int32_t>(be32(header + 60));
    const std::uint16_t dims[2] = {be16(header + 68), be16(header + 70)};
    const std::size_t samples = std::size_t{dims[0]} * dims[1];
    if (length == 0 || got < static_cast<ssize_t>(length) || samples == 0 || dims[0] > 32767 ||
        dims[1] > 32767) {
        ::close(fd);
        return false;
    }
    // Not cleared: the read fills it.
    const std::unique_ptr<std::uint32_t[]> owner(new std::uint32_t[samples]);
    std::uint32_t *const block = owner.get();
    const off_t at = static_cast<off_t>(length) + (intensity > 0 ? intensity : 0);
    const ssize_t read = ::pread(fd, block, samples * 4, at);
    ::close(fd);
    if (read != static_cast<ssize_t>(samples * 4)) {
        return false;
    }
    for (std::size_t i = 0; i < samples; ++i) {
        block[i] = __builtin_bswap32(block[i]);
    }

    const std::string out = in.substr(0, in.size() - 4) + ".bin";
    const std::size_t slash = out.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : out.substr(0, slash + 1);
    const std::string temp = dir + "." + out.substr(dir.size()) + "." + std::to_string(id) + ".tmp";
    const int w = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (w < 0) {
        return false;
    }
    struct iovec parts[2] = {{const_cast<std::uint16_t *>(dims), sizeof dims},
                             {block, samples * 4}};
    const bool written = ::writev(w, parts, 2) == static_cast<ssize_t>(sizeof dims + samples * 4) &&
                         ::fchmod(w, mode) == 0;
    if (::close(w) != 0 || !written) {
        ::unlink(temp.c_str());
        return false;
    }
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, out.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    const bool linked = (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) &&
                        ::link(temp.c_str(), out.c_str()) == 0;
    ::unlink(temp.c_str());
    return linked;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pdx_min_batch JOBS FILE.dat...\n");
        return 2;
    }
    const int jobs = std::atoi(argv[1]);
    const mode_t umask_was = ::umask(0);
    ::umask(umask_was);
    const mode_t mode = 0666 & ~umask_was;
    std::atomic<int> next{2};
    std::atomic<bool> failed{false};
    std::atomic<unsigned long> ids{0};
    const auto work = [&] {
        for (int i = next++; i < argc; i = next++) {
            if (!convert(argv[i], mode, static_cast<unsigned long>(::getpid()) * 100000 + ids++)) {
                std::fprintf(stderr, "pdx_min_batch: %s failed\n", argv[i]);
                failed = true;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; ++j) {
        threads.emplace_back(work);
    }
    work();
    for (std::thread &t : threads) {
        t.join();
    }
    return failed ? 1 : 0;
}
