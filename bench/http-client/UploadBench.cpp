// Measures an upload of a large file with zek-upload against curl's command line to the same local
// sink, in the same run, alternating which goes first: throughput and peak resident memory of each.
//
//   bench_upload [--mib N] [--rounds N]      (defaults 256 and 3)
//
// The sink (a thread of this program on 127.0.0.1) reads the request head, discards the body as
// fast as it arrives and answers "{}" as JSON, so that the server costs next to nothing.

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Reads one request after another on each connection: head, then Content-Length bytes (the
// multipart bodies of both clients carry one), and answers each.
void serveConnection(int client)
{
    std::vector<char> buffer(1 << 20);
    std::string head;
    for (;;) {
        const ssize_t n = read(client, buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        head.append(buffer.data(), static_cast<size_t>(n));
        const size_t end = head.find("\r\n\r\n");
        if (end == std::string::npos) {
            continue;
        }
        long long length = 0;
        for (size_t at = 0; at < end;) {
            const size_t next = head.find("\r\n", at);
            const std::string line = head.substr(at, next - at);
            if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
                length = std::atoll(line.c_str() + 15);
            }
            at = next + 2;
        }
        long long left = length - static_cast<long long>(head.size() - end - 4);
        while (left > 0) {
            const ssize_t got = read(client, buffer.data(),
                                     static_cast<size_t>(std::min<long long>(left, buffer.size())));
            if (got <= 0) {
                close(client);
                return;
            }
            left -= got;
        }
        head.clear();
        const char reply[] = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                             "Content-Length: 2\r\nConnection: close\r\n\r\n{}";
        (void)!write(client, reply, sizeof reply - 1);
        break;
    }
    close(client);
}

int startSink(int &port)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        std::perror("sink");
        std::exit(1);
    }
    port = ntohs(address.sin_port);
    std::thread([listener] {
        for (;;) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                std::thread(serveConnection, client).detach();
            }
        }
    }).detach();
    return listener;
}

struct Run {
    double seconds;
    long peakKiB;
    int status;
};

// Runs a command with its output discarded; wall time, its peak resident memory, exit status.
Run run(const std::vector<std::string> &command)
{
    std::vector<char *> arguments;
    for (const std::string &argument : command) {
        arguments.push_back(const_cast<char *>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execvp(arguments[0], arguments.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    long mebibytes = 256;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--mib") == 0) {
            mebibytes = std::atol(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::atoi(argv[i + 1]);
        }
    }

    char directory[] = "/tmp/bench_upload.XXXXXX";
    if (!mkdtemp(directory)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string file = std::string(directory) + "/job_1 Bench.pdf";
    {
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char> chunk(1 << 20, 'x');
        std::memcpy(chunk.data(), "%PDF-1.4\n", 9);
        for (long i = 0; i < mebibytes; ++i) {
            if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
                std::perror("write");
                return 1;
            }
        }
        close(fd);
    }

    int port = 0;
    startSink(port);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/upload";
    const std::vector<std::string> ours = {ZEK_UPLOAD_PATH, file, url};
    const std::vector<std::string> theirs = {
        "curl", "-s",      "-o", "/dev/null",
        "-H",   "Expect:", "-F", "file=@" + file + ";type=application/pdf",
        url};

    std::vector<double> ourSeconds, theirSeconds;
    long ourPeak = 0, theirPeak = 0;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which goes first, so that neither always meets a warm or a cold cache.
        for (int turn = 0; turn < 2; ++turn) {
            const bool oursNow = (round + turn) % 2 == 0;
            const Run result = run(oursNow ? ours : theirs);
            if (result.status != 0) {
                std::fprintf(stderr, "%s failed with status %d\n", oursNow ? "zek-upload" : "curl",
                             result.status);
                return 1;
            }
            (oursNow ? ourSeconds : theirSeconds).push_back(result.seconds);
            long &peak = oursNow ? ourPeak : theirPeak;
            peak = std::max(peak, result.peakKiB);
        }
    }
    unlink(file.c_str());
    rmdir(directory);

    const double ourRate = double(mebibytes) / median(ourSeconds);
    const double theirRate = double(mebibytes) / median(theirSeconds);
    std::printf("upload of %ld MiB, median of %d rounds each, alternating:\n", mebibytes, rounds);
    std::printf("  zek-upload  %8.1f MiB/s  peak RSS %7.1f MiB\n", ourRate, ourPeak / 1024.0);
    std::printf("  curl -F     %8.1f MiB/s  peak RSS %7.1f MiB\n", theirRate, theirPeak / 1024.0);
    std::printf("  throughput ratio zek-upload / curl: %.2f (goal: at least 0.90)\n",
                ourRate / theirRate);
    return 0;
}
