// Whole-process probes: kelvo-sim on the real clock, and this program's own service probes, each
// in a child process whose output lines are stamped as they arrive.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "probes.h"

extern char** environ;

namespace kelvo::bench {

namespace {

using Clock = std::chrono::steady_clock;

struct Line {
    std::string text;
    Clock::time_point arrived;
};

// A child process with its standard input and output on pipes; standard error is shared.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        int input[2];
        int output[2];
        if (pipe2(input, O_CLOEXEC) != 0) return;
        if (pipe2(output, O_CLOEXEC) != 0) {
            close(input[0]);
            close(input[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&_pid, args[0], &actions, nullptr, args.data(), environ) != 0) _pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(input[0]);
        close(output[1]);
        _in = input[1];
        _out = output[0];
    }
    ~Child() {
        CloseInput();
        if (_out >= 0) close(_out);
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return _pid; }

    // The next line of its output; none at its end or when nothing comes within the timeout.
    std::optional<Line> ReadLine(std::chrono::milliseconds timeout) {
        while (_lines.empty()) {
            pollfd ready{_out, POLLIN, 0};
            if (_pid <= 0 || poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return {};
            char buffer[4096];
            const ssize_t got = read(_out, buffer, sizeof buffer);
            if (got <= 0) return {};
            const Clock::time_point now = Clock::now();
            _partial.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = _partial.find('\n')) != std::string::npos;) {
                _lines.push_back({_partial.substr(0, end), now});
                _partial.erase(0, end + 1);
            }
        }
        Line line = std::move(_lines.front());
        _lines.pop_front();
        return line;
    }

    // The first line containing the text; none if the output ends or pauses for five seconds.
    std::optional<Line> ReadUntil(const std::string& text) {
        while (std::optional<Line> line = ReadLine(std::chrono::seconds(5))) {
            if (line->text.find(text) != std::string::npos) return line;
        }
        return {};
    }

    void CloseInput() {
        if (_in >= 0) close(_in);
        _in = -1;
    }

    // Its exit status, once it has ended.
    int Wait() {
        int status = -1;
        if (_pid > 0 && waitpid(_pid, &status, 0) == _pid) _pid = -1;
        return status;
    }

private:
    pid_t _pid = -1;
    int _in = -1;
    int _out = -1;
    std::string _partial;
    std::deque<Line> _lines;
};

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Voluntary and involuntary context switches of each thread of the process, by thread id.
std::map<std::string, long> ContextSwitches(pid_t pid) {
    std::map<std::string, long> switches;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream status(task.path() / "status");
        long total = 0;
        for (std::string line; std::getline(status, line);) {
            std::istringstream fields(line);
            std::string name;
            long count = 0;
            if (fields >> name >> count &&
                (name == "voluntary_ctxt_switches:" || name == "nonvoluntary_ctxt_switches:")) {
                total += count;
            }
        }
        switches[task.path().filename().string()] = total;
    }
    return switches;
}

double ResidentMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string name;
        double kib = 0;
        if (fields >> name >> kib && name == "VmRSS:") return kib / 1024;
    }
    return -1;
}

}  // namespace

Figures MeasureKelvoSim(const std::string& kelvoSim, int idleSeconds) {
    Figures figures;
    const Clock::time_point spawned = Clock::now();
    Child sim({kelvoSim, "run", "--realtime", "--interactive"});
    // The start-up decision applied: the frame hidden for a docked clamshell.
    const std::optional<Line> decided = sim.ReadUntil("] gfx SetInfo ");
    if (!decided) {
        std::fputs("kelvo-bench: kelvo-sim made no start-up decision\n", stderr);
        return figures;
    }
    figures["start.ms"] = Millis(decided->arrived - spawned);
    // Whatever start-up still writes, then nothing: every thread is blocked.
    while (sim.ReadLine(std::chrono::milliseconds(500))) {
    }

    const std::map<std::string, long> before = ContextSwitches(sim.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const std::map<std::string, long> after = ContextSwitches(sim.Pid());
    long woken = 0;
    for (const auto& [thread, count] : after) {
        const auto was = before.find(thread);
        woken += count - (was == before.end() ? 0 : was->second);
    }
    // A thread that ended while idle was woken too.
    for (const auto& [thread, count] : before) woken += after.count(thread) == 0 ? 1 : 0;
    figures["idle.threads"] = static_cast<double>(before.size());
    figures["idle.seconds"] = idleSeconds;
    figures["idle.switches"] = static_cast<double>(woken);
    figures["memory.rss"] = ResidentMiB(sim.Pid());

    // The end of the commands stops the service with SERVICE_CONTROL_STOP, all three button
    // threads blocked in their reads; the service is stopped once Run has returned.
    const Clock::time_point stopping = Clock::now();
    sim.CloseInput();
    const std::optional<Line> stopped = sim.ReadUntil("SERVICE_STOPPED");
    if (stopped) figures["stop.ms"] = Millis(stopped->arrived - stopping);
    const int status = sim.Wait();
    if (!stopped || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "kelvo-bench: kelvo-sim did not stop cleanly (status %d)\n", status);
    }
    return figures;
}

Figures MeasureInChild(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{std::filesystem::read_symlink("/proc/self/exe"), "probe"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Child probe(argv);
    probe.CloseInput();
    Figures figures;
    // A probe prints its figures when it is done, which may take minutes.
    while (std::optional<Line> line = probe.ReadLine(std::chrono::minutes(10))) {
        std::istringstream fields(line->text);
        std::string key;
        double value = 0;
        if (fields >> key >> value) figures[key] = value;
    }
    const int status = probe.Wait();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "kelvo-bench: probe %s failed (status %d)\n", arguments[0].c_str(),
                     status);
    }
    return figures;
}

}  // namespace kelvo::bench
