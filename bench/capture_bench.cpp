// The supervisor's capture path beside `cat` (and supervisord, when installed) in the same run.
//
//   capture_bench cpu MB             CPU seconds per GB of each capturer, 64 KiB writes and one
//                                    write per line: median and min–max of 5 and 3 rounds, ratio
//                                    to cat
//   capture_bench endless MB         one line without end: time and peak RSS of the supervisor
//   capture_bench agent KIND SECONDS quiet or runaway agent: peak RSS and the time a quit takes
//   capture_bench sample MB          supervise MB once (for callgrind: instructions per byte)
//   capture_bench status-line N      judge one status line N times (for callgrind)
//
// The agent is this program re-run as a child (VANTREL_BENCH_ROLE=generate), so the generator
// is the same for every capturer.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_log.h"
#include "agent/agent_process.h"
#include "agent/status_line.h"
#include "support/background_queue.h"
#include "support/child_process.h"
#include "support/run_loop.h"

namespace {

using Clock = std::chrono::steady_clock;

// Realistic agent output: lines of 23 to 200 bytes, a status line every 100 lines.
std::vector<std::string> sampleLines() {
    std::vector<std::string> lines;
    unsigned seed = 12345;
    for (int line = 0; line < 10000; ++line) {
        seed = seed * 1103515245 + 12345;
        if (line % 100 == 99) {
            lines.push_back("pv=2." + std::to_string(line % 10) + "kW grid=-1.2" +
                            std::to_string(line % 7) + "kW\n");
            continue;
        }
        std::string text = "2026-12-06 12:00:00,123 INFO modbus: read " + std::to_string(line);
        size_t length = 23 + (seed >> 8) % 178;
        text.resize(length - 1, '.');
        lines.push_back(text + "\n");
    }
    return lines;
}

bool writeAll(const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(STDOUT_FILENO, data, size);
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Writes VANTREL_BENCH_BYTES in 64 KiB writes ("block"), one write per line ("line"), as one
// endless line ("endless") or as status lines that all differ ("runaway", until killed).
int generate() {
    long long total = std::atoll(std::getenv("VANTREL_BENCH_BYTES"));
    std::string pattern = std::getenv("VANTREL_BENCH_PATTERN");
    if (pattern == "runaway") {
        for (long long i = 0;; ++i) {
            std::string line = "pv=" + std::to_string(i) + " grid=-1.5\n";
            if (!writeAll(line.data(), line.size())) {
                return 1;
            }
        }
    }
    if (pattern == "quiet") {
        for (int i = 0;; ++i) {
            std::string line = "pv=" + std::to_string(i % 3) + " grid=0.4\n";
            writeAll(line.data(), line.size());
            ::sleep(1);
        }
    }
    std::string text;
    std::vector<size_t> ends;
    for (const auto& line : sampleLines()) {
        text += pattern == "endless" ? std::string(line.size(), 'x') : line;
        ends.push_back(text.size());
    }
    for (long long sent = 0; sent < total;) {
        for (size_t start = 0, next = 0; start < text.size() && sent < total; start = next) {
            next = pattern == "line" ? *std::upper_bound(ends.begin(), ends.end(), start)
                                     : std::min(start + 64 * 1024, text.size());
            size_t size = static_cast<size_t>(std::min<long long>(next - start, total - sent));
            if (!writeAll(text.data() + start, size)) {
                return 1;
            }
            sent += static_cast<long long>(size);
        }
    }
    return 0;
}

double seconds(const timeval& time) {
    return time.tv_sec + time.tv_usec / 1e6;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::filesystem::path self() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

void setGeneratorEnvironment(long long bytes, const std::string& pattern) {
    ::setenv("VANTREL_BENCH_ROLE", "generate", 1);
    ::setenv("VANTREL_BENCH_BYTES", std::to_string(bytes).c_str(), 1);
    ::setenv("VANTREL_BENCH_PATTERN", pattern.c_str(), 1);
}

vantrel::AgentConfig agentConfig(const std::filesystem::path& folder) {
    return {.python = self(),
            .pythonHome = folder,
            .pythonPath = folder,
            .state = folder / "agent.json",
            .spool = folder / "spool.db",
            .pidFile = folder / "agent.pid",
            .log = folder / "agent.log",
            .apiBase = std::nullopt};
}

struct Run {
    double seconds;
    double cpu;
};

// Supervises the generator until its exit has been handled, which is after its last byte is logged.
Run supervise(const std::filesystem::path& folder) {
    auto mainLoop = std::make_shared<vantrel::RunLoop>();
    auto background = std::make_shared<vantrel::BackgroundQueue>(1);
    auto agent = vantrel::AgentProcess::create(agentConfig(folder), mainLoop, background);
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

pid_t spawnWith(int input, int output, const char* program) {
    pid_t pid = fork();
    if (pid == 0) {
        if (input >= 0) {
            dup2(input, STDIN_FILENO);
        }
        dup2(output, STDOUT_FILENO);
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// cat's own CPU seconds for copying the generator's output into target.
double catCopy(const std::filesystem::path& target) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return 0;
    }
    int file = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t generator = spawnWith(-1, ends[1], self().c_str());
    pid_t cat = spawnWith(ends[0], file, "/bin/cat");
    ::close(ends[0]);
    ::close(ends[1]);
    ::close(file);
    int status;
    rusage usage{};
    wait4(cat, &status, 0, &usage);
    waitpid(generator, &status, 0);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

double processCpu(pid_t pid) {
    std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::atol(field.c_str());
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::optional<std::string> supervisordPath() {
    for (const char* path : {"/usr/bin/supervisord", "/usr/local/bin/supervisord"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return std::nullopt;
}

// supervisord's CPU seconds for logging the generator's output to its stdout_logfile.
double supervisordCopy(const std::string& program, const std::filesystem::path& folder) {
    std::filesystem::remove(folder / "supervisord.log");
    std::ofstream(folder / "supervisord.conf")
        << "[supervisord]\nnodaemon=true\nlogfile=" << (folder / "supervisord.log").string()
        << "\npidfile=" << (folder / "supervisord.pid").string()
        << "\n[program:agent]\ncommand=" << self().string()
        << "\nautostart=true\nautorestart=false\nstartsecs=0\nredirect_stderr=true\n"
        << "stdout_logfile=" << (folder / "supervisord.out").string()
        << "\nstdout_logfile_maxbytes=0\nstdout_logfile_backups=0\n";
    pid_t pid = fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(program.c_str(), program.c_str(), "-c", (folder / "supervisord.conf").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    while (readText(folder / "supervisord.log").find("exited: agent") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    double cpu = processCpu(pid);
    ::kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
    return cpu;
}

bool sameFiles(const std::filesystem::path& a, const std::filesystem::path& b) {
    return std::filesystem::file_size(a) == std::filesystem::file_size(b) &&
           readText(a) == readText(b);
}

// The agent log keeps the last two files' worth, its last line ended: the older file and the
// current one together must be the end of the copy so ended, and hold all of it up to the limit.
bool logEndsCopy(const std::filesystem::path& folder, const std::filesystem::path& copy) {
    auto older = folder / "agent.log.1";
    std::string kept = std::filesystem::exists(older) ? readText(older) : std::string();
    kept += readText(folder / "agent.log");
    std::string copied = readText(copy);
    if (!copied.empty() && copied.back() != '\n') {
        copied += '\n';
    }
    return kept.size() <= copied.size() &&
           kept.size() >= std::min<size_t>(copied.size(), vantrel::AgentLog::kSizeLimit) &&
           copied.ends_with(kept);
}

std::filesystem::path scratchFolder() {
    std::string pattern = "/var/tmp/vantrel-bench-XXXXXX";
    return mkdtemp(pattern.data());
}

struct Spread {
    double median, low, high;
};

Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

void printRow(const char* name, const std::vector<double>& cpu, const std::vector<double>& cat,
              double gigabytes) {
    std::vector<double> perGb, ratios;
    for (size_t i = 0; i < cpu.size(); ++i) {
        perGb.push_back(cpu[i] / gigabytes);
        ratios.push_back(cpu[i] / cat[i]);
    }
    auto rate = spread(perGb), ratio = spread(ratios);
    std::printf("  %-12s %6.2f s/GB (%.2f–%.2f)   ratio to cat %.2f (%.2f–%.2f)\n", name,
                rate.median, rate.low, rate.high, ratio.median, ratio.low, ratio.high);
}

// supervisord's own start and end, measured with an agent that writes nothing.
double supervisordOverhead(const std::string& program, const std::filesystem::path& folder) {
    const char* bytes = std::getenv("VANTREL_BENCH_BYTES");
    std::string saved = bytes ? bytes : "0";
    ::setenv("VANTREL_BENCH_BYTES", "0", 1);
    double cpu = supervisordCopy(program, folder);
    ::setenv("VANTREL_BENCH_BYTES", saved.c_str(), 1);
    return cpu;
}

// The capturers take turns in each round, with the disk synced in between, so that none is
// throttled by another's dirty pages; a supervisord that is not installed is left out.
int cpu(long long megabytes) {
    long long bytes = megabytes * 1'000'000;
    auto folder = scratchFolder();
    auto supervisord = supervisordPath();
    bool identical = true;
    std::printf("load average (1, 5, 15 min) at the start: %s", readText("/proc/loadavg").c_str());
    for (const char* pattern : {"block", "line"}) {
        setGeneratorEnvironment(bytes, pattern);
        bool perLine = std::strcmp(pattern, "line") == 0;
        // The figure nearer its goal gets more rounds: the other engineers' load makes single
        // rounds swing by a quarter either way.
        const int rounds = perLine ? 3 : 5;
        std::vector<double> cat, ours, peer;
        for (int round = 0; round < rounds; ++round) {
            ::sync();
            cat.push_back(catCopy(folder / "cat.out"));
            ::sync();
            ours.push_back(supervise(folder).cpu);
            identical = identical && logEndsCopy(folder, folder / "cat.out");
            std::filesystem::remove(folder / "agent.log");
            std::filesystem::remove(folder / "agent.log.1");
            if (supervisord) {
                ::sync();
                double overhead = supervisordOverhead(*supervisord, folder);
                peer.push_back(supervisordCopy(*supervisord, folder) - overhead);
                identical = identical && sameFiles(folder / "supervisord.out", folder / "cat.out");
                std::filesystem::remove(folder / "supervisord.out");
            }
        }
        std::printf("capture CPU, %lld MB, %s (median of %d, min–max); goal: ratio <= %s\n",
                    megabytes, perLine ? "one write per line" : "64 KiB writes", rounds,
                    perLine ? "0.80" : "1.15");
        printRow("cat", cat, cat, bytes / 1e9);
        printRow("Vantrel", ours, cat, bytes / 1e9);
        if (supervisord) {
            printRow("supervisord", peer, cat, bytes / 1e9);
        }
    }
    if (!supervisord) {
        std::printf("  supervisord: not installed (apt-get install supervisor)\n");
    }
    std::printf("  logs %s\n", identical ? "the end of cat's copy, byte for byte"
                                         : "DIFFER from the end of cat's copy");
    std::printf("load average at the end: %s", readText("/proc/loadavg").c_str());
    std::filesystem::remove_all(folder);
    return identical ? 0 : 1;
}

int endless(long long megabytes) {
    auto folder = scratchFolder();
    setGeneratorEnvironment(megabytes * 1'000'000, "endless");
    auto run = supervise(folder);
    std::printf(
        "endless line %lld MB: %.2f s (%.0f MB/s), supervisor peak RSS %.1f MB (goal < 30)\n",
        megabytes, run.seconds, megabytes / run.seconds, peakRssKb() / 1024.0);
    std::filesystem::remove_all(folder);
    return 0;
}

// As the headless application does: every delivered state is printed, and a quit (from the
// signal thread) is a task on the main loop that stops the agent and ends the loop.
int agent(const std::string& kind, int runSeconds) {
    auto folder = scratchFolder();
    setGeneratorEnvironment(0, kind);
    auto mainLoop = std::make_shared<vantrel::RunLoop>();
    auto background = std::make_shared<vantrel::BackgroundQueue>(1);
    auto supervisor = vantrel::AgentProcess::create(agentConfig(folder), mainLoop, background);
    FILE* out = std::fopen("/dev/null", "w");
    long deliveries = 0;
    supervisor->setOnState([&](const vantrel::AgentState& state) {
        std::fprintf(out, "%s\n", state.menuText().c_str());
        ++deliveries;
    });
    Clock::time_point asked;
    std::thread quitter([&] {
        std::this_thread::sleep_for(std::chrono::seconds(runSeconds));
        asked = Clock::now();
        mainLoop->post([&] {
            supervisor->stop();
            mainLoop->quit();
        });
    });
    supervisor->start();
    mainLoop->run();
    double quit = std::chrono::duration<double>(Clock::now() - asked).count();
    quitter.join();
    std::printf(
        "%-8s agent, %d s: peak RSS %.1f MB, quit took %.3f s, %ld deliveries, log %.0f MB\n",
        kind.c_str(), runSeconds, peakRssKb() / 1024.0, quit, deliveries,
        std::filesystem::file_size(folder / "agent.log") / 1e6);
    std::fclose(out);
    std::filesystem::remove_all(folder);
    return 0;
}

int sample(long long megabytes) {
    auto folder = scratchFolder();
    setGeneratorEnvironment(megabytes * 1'000'000, "block");
    supervise(folder);
    std::filesystem::remove_all(folder);
    return 0;
}

int statusLine(long long count) {
    size_t total = 0;
    for (long long i = 0; i < count; ++i) {
        total += vantrel::readLine("pv=2.54kW grid=-1.234kW")->label.size();
    }
    return total > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* role = std::getenv("VANTREL_BENCH_ROLE");
        role && std::strcmp(role, "generate") == 0) {
        return generate();
    }
    std::string mode = argc >= 3 ? argv[1] : "";
    if (mode == "agent" && argc == 4) {
        return agent(argv[2], std::atoi(argv[3]));
    }
    long long amount = argc == 3 ? std::atoll(argv[2]) : 0;
    if (mode == "cpu") {
        return cpu(amount);
    }
    if (mode == "endless") {
        return endless(amount);
    }
    if (mode == "sample") {
        return sample(amount);
    }
    if (mode == "status-line") {
        return statusLine(amount);
    }
    std::fprintf(stderr,
                 "usage: capture_bench cpu|endless|sample MB, agent quiet|runaway SECONDS, "
                 "status-line N\n");
    return 2;
}
