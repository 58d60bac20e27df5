// Runs a program and reports its wall time and peak resident memory:
//
//   pdx_measure program [args...]
//
// prints "<wall seconds> <peak RSS in KiB> <CPU seconds, user + system>" on
// the standard output. The
// program's standard output and error go to /dev/null. A child's peak RSS
// (getrusage) includes the memory of the process it was forked from, up to
// the exec, so the measuring process must be small: this one uses the C
// library only and stays near 1 MiB, below any C++ program it runs.

#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pdx_measure program [args...]\n");
        return 2;
    }
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 2;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double wall = static_cast<double>(end.tv_sec - start.tv_sec) +
                        1e-9 * static_cast<double>(end.tv_nsec - start.tv_nsec);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    std::printf("%.6f %ld %.6f\n", wall, usage.ru_maxrss, cpu);
    if (!WIFEXITED(status)) {
        return 3;
    }
    return WEXITSTATUS(status);
}
