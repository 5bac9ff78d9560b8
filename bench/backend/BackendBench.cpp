// Measures the backend as CUPS runs it:
//  1. throughput spooling a 256 MiB PDF from a pipe, against `dd bs=1M
//     conv=fsync` writing the same bytes from a pipe to the same file system
//     (same durability), printed as a ratio (goal: at least 0.9);
//  2. the time from start to exit of a one-page job.
// Runs as root in a mount namespace of its own, with a scratch directory on
// disk bound over /var/spool, so the machine's spool tree is never touched.
//
//   bench_backend [MiB] [rounds]

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "bench_backend: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// Runs argv with `input` written into its standard input through a pipe, in
// 1 MiB writes as `cat` would; returns the seconds from start to exit.
double runFed(const std::vector<std::string> &argv, const std::vector<char> &input, int &status)
{
    int ends[2];
    if (pipe(ends) != 0) {
        fail("pipe");
    }
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
        close(ends[1]);
        std::vector<char *> args;
        for (const auto &a : argv) {
            args.push_back(const_cast<char *>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(ends[0]);
    constexpr size_t kPiece = 1 << 20;
    for (size_t at = 0; at < input.size();) {
        const ssize_t n = write(ends[1], input.data() + at, std::min(kPiece, input.size() - at));
        if (n <= 0) {
            break;
        }
        at += static_cast<size_t>(n);
    }
    close(ends[1]);
    int raw = 0;
    waitpid(child, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void enterPrivateSpool(const fs::path &scratch)
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail("private mount namespace (run as root)");
    }
    if (mount(scratch.c_str(), "/var/spool", nullptr, MS_BIND, nullptr) != 0) {
        fail("bind mount over /var/spool");
    }
}

std::vector<char> pdfOfSize(size_t size)
{
    std::vector<char> data(size);
    std::mt19937_64 random(42);
    for (size_t at = 0; at + 8 <= size; at += 8) {
        const uint64_t word = random();
        std::memcpy(data.data() + at, &word, 8);
    }
    std::memcpy(data.data(), "%PDF-1.7\n", 9);
    return data;
}

} // namespace

int main(int argc, char *argv[])
{
    const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string printer = ZEK_PRINTER_PATH;

    // On disk, not in memory: /var/tmp rather than a tmpfs /tmp.
    const fs::path scratch = fs::path("/var/tmp") / ("zek-bench-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    enterPrivateSpool(scratch);

    const std::vector<char> big = pdfOfSize(mebibytes << 20);
    const std::string ddTarget = "/var/spool/dd-target";
    std::vector<double> backendTimes;
    std::vector<double> ddTimes;
    // Alternate who goes first, so that neither gains from the other's
    // write-back or a warm cache.
    const auto timeBackend = [&](int round) {
        int status = 0;
        const std::string job = std::to_string(round + 1);
        backendTimes.push_back(runFed({printer, job, "root", "Big document"}, big, status));
        if (status != 0) {
            std::fprintf(stderr, "bench_backend: ZEKPrinter exited with %d\n", status);
            std::exit(1);
        }
        fs::remove_all("/var/spool/ZEKPrinter");
    };
    const auto timeDd = [&] {
        int status = 0;
        ddTimes.push_back(
            runFed({"dd", "of=" + ddTarget, "bs=1M", "conv=fsync", "status=none"}, big, status));
        fs::remove(ddTarget);
    };
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            timeBackend(round);
            timeDd();
        } else {
            timeDd();
            timeBackend(round);
        }
    }
    const double mb = static_cast<double>(big.size()) / 1e6;
    const double backendRate = mb / median(backendTimes);
    const double ddRate = mb / median(ddTimes);
    std::printf("spooling %zu MiB from a pipe (median of %d):\n", mebibytes, rounds);
    std::printf("  ZEKPrinter            %8.1f MB/s\n", backendRate);
    std::printf("  dd bs=1M conv=fsync   %8.1f MB/s\n", ddRate);
    std::printf("  ratio                 %8.2f (goal >= 0.90)\n", backendRate / ddRate);

    // A one-page job, as CUPS hands it over.
    const std::vector<char> page = pdfOfSize(3000);
    std::vector<double> jobTimes;
    for (int i = 0; i < 50; ++i) {
        int status = 0;
        jobTimes.push_back(
            runFed({printer, std::to_string(1000 + i), "root", "One page"}, page, status));
    }
    std::sort(jobTimes.begin(), jobTimes.end());
    std::printf("one-page job, start to exit (50 runs): median %.2f ms, worst %.2f ms\n",
                median(jobTimes) * 1e3, jobTimes.back() * 1e3);

    fs::remove_all("/var/spool/ZEKPrinter");
    umount("/var/spool");
    fs::remove_all(scratch);
    return 0;
}
