// Throughput and memory of the supervisor's capture path, beside `cat` doing the same copy.
//
//   capture_bench capture MB      realistic output: MB/s of the supervisor and of cat, ratio, CPU
//   capture_bench endless MB      one line without end: time and peak RSS of the supervisor
//
// The agent is this program re-run as a child (VANTREL_BENCH_ROLE=generate), so the generator
// costs the same in both runs.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "agent/agent_process.h"
#include "support/background_queue.h"
#include "support/child_process.h"
#include "support/run_loop.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string block(bool newlines) {
    std::string text;
    if (!newlines) {
        return std::string(1 << 20, 'x');
    }
    for (int line = 0; text.size() < (1 << 20); ++line) {
        if (line % 100 == 99) {
            text += "pv=2." + std::to_string(line % 10) + "kW grid=-1.234kW\n";
        } else {
            text +=
                "2026-12-06 12:00:00,123 INFO modbus: read holding registers 40070..40120 "
                "from 192.0.2.10 in 12 ms (" +
                std::to_string(line) + ")\n";
        }
    }
    return text;
}

int generate() {
    long long total = std::atoll(std::getenv("VANTREL_BENCH_BYTES"));
    std::string chunk = block(std::getenv("VANTREL_BENCH_NEWLINES")[0] == '1');
    while (total > 0) {
        size_t size = static_cast<size_t>(std::min<long long>(total, chunk.size()));
        const char* data = chunk.data();
        size_t left = size;
        while (left > 0) {
            ssize_t written = ::write(STDOUT_FILENO, data, left);
            if (written <= 0) {
                return 1;
            }
            data += written;
            left -= static_cast<size_t>(written);
        }
        total -= static_cast<long long>(size);
    }
    return 0;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::filesystem::path self() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

void setGeneratorEnvironment(long long bytes, bool newlines) {
    ::setenv("VANTREL_BENCH_ROLE", "generate", 1);
    ::setenv("VANTREL_BENCH_BYTES", std::to_string(bytes).c_str(), 1);
    ::setenv("VANTREL_BENCH_NEWLINES", newlines ? "1" : "0", 1);
}

struct Run {
    double seconds;
    double cpu;
};

// Supervises the generator until its exit has been handled, which is after its last byte is logged.
Run supervise(const std::filesystem::path& folder) {
    auto mainLoop = std::make_shared<vantrel::RunLoop>();
    auto background = std::make_shared<vantrel::BackgroundQueue>(1);
    vantrel::AgentConfig config{.python = self(),
                                .pythonHome = folder,
                                .pythonPath = folder,
                                .state = folder / "agent.json",
                                .spool = folder / "spool.db",
                                .pidFile = folder / "agent.pid",
                                .log = folder / "agent.log",
                                .apiBase = std::nullopt};
    auto agent = vantrel::AgentProcess::create(config, mainLoop, background);
    agent->setOnState([&](const vantrel::AgentState& state) {
        if (state.kind() == vantrel::AgentState::Kind::stopped) {
            agent->stop();
            mainLoop->quit();
        }
    });
    double cpuBefore = cpuSeconds();
    auto began = Clock::now();
    agent->start();
    mainLoop->run();
    return {std::chrono::duration<double>(Clock::now() - began).count(), cpuSeconds() - cpuBefore};
}

double catCopy(const std::filesystem::path& target) {
    auto began = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", "\"$0\" | cat > \"$1\"", self().c_str(), target.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status;
    waitpid(pid, &status, 0);
    return std::chrono::duration<double>(Clock::now() - began).count();
}

bool sameFiles(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), ba.size());
        fb.read(bb.data(), bb.size());
        if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), fa.gcount()) != 0) {
            return false;
        }
    }
    return !fa && !fb;
}

std::filesystem::path scratchFolder() {
    std::string pattern = "/var/tmp/vantrel-bench-XXXXXX";
    return mkdtemp(pattern.data());
}

// Alternates the two copies and keeps the best of three each, with the disk synced in between, so
// that neither is throttled by the other's dirty pages.
int capture(long long megabytes) {
    long long bytes = megabytes * 1'000'000;
    auto folder = scratchFolder();
    setGeneratorEnvironment(bytes, true);
    double catSeconds = 1e9, supervisorSeconds = 1e9, cpu = 0;
    bool complete = true;
    for (int round = 0; round < 3; ++round) {
        ::sync();
        catSeconds = std::min(catSeconds, catCopy(folder / "cat.out"));
        ::sync();
        auto run = supervise(folder);
        supervisorSeconds = std::min(supervisorSeconds, run.seconds);
        cpu += run.cpu / 3;
        complete =
            complete &&
            std::filesystem::file_size(folder / "agent.log") == static_cast<uintmax_t>(bytes) &&
            sameFiles(folder / "agent.log", folder / "cat.out");
        std::filesystem::remove(folder / "agent.log");
        std::filesystem::remove(folder / "cat.out");
    }
    double supervisorRate = megabytes / supervisorSeconds, catRate = megabytes / catSeconds;
    std::printf(
        "capture %lld MB: supervisor %.0f MB/s, cat %.0f MB/s, ratio %.2f (goal >= 0.80); "
        "supervisor CPU %.2f s/GB; log %s\n",
        megabytes, supervisorRate, catRate, supervisorRate / catRate, cpu / (bytes / 1e9),
        complete ? "complete, identical to cat's copy" : "INCOMPLETE");
    std::filesystem::remove_all(folder);
    return complete ? 0 : 1;
}

int endless(long long megabytes) {
    auto folder = scratchFolder();
    setGeneratorEnvironment(megabytes * 1'000'000, false);
    auto run = supervise(folder);
    std::printf(
        "endless line %lld MB: %.2f s (%.0f MB/s), supervisor peak RSS %.1f MB (goal < 30)\n",
        megabytes, run.seconds, megabytes / run.seconds, peakRssKb() / 1024.0);
    std::filesystem::remove_all(folder);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* role = std::getenv("VANTREL_BENCH_ROLE");
        role && std::strcmp(role, "generate") == 0) {
        return generate();
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: capture_bench capture|endless MB\n");
        return 2;
    }
    long long megabytes = std::atoll(argv[2]);
    return std::strcmp(argv[1], "capture") == 0 ? capture(megabytes) : endless(megabytes);
}
