// Wall time and peak memory of work done in another process, so that the
// peak is that work's own, and this process's own peak memory.
#pragma once

#include <QStringList>

#include <chrono>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

struct ProcessCost
{
    double seconds = 0;
    double cpuSeconds = 0; // user and system; steadier than wall time on a busy machine
    double peakMiB = 0;
    bool succeeded = false;
};

inline double cpuSeconds(const rusage& usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of every thread of this process so far.
inline double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

inline ProcessCost waitFor(pid_t pid, std::chrono::steady_clock::time_point began)
{
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) {
        return {};
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    return { .seconds = took.count(),
        .cpuSeconds = cpuSeconds(usage),
        .peakMiB = double(usage.ru_maxrss) / 1024,
        .succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0 };
}

// Runs `work` in a forked child; it succeeds when `work` returns true. An
// exception must not unwind into the copy of the benchmark in the child.
template <typename Work> ProcessCost inChild(Work work)
{
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            _exit(work() ? 0 : 1);
        } catch (...) {
            _exit(1);
        }
    }
    return waitFor(pid, began);
}

// Runs a program found on PATH with the given arguments.
inline ProcessCost runProgram(const QString& program, const QStringList& arguments)
{
    std::vector<std::string> strings { program.toStdString() };
    for (const QString& argument : arguments) {
        strings.push_back(argument.toStdString());
    }
    std::vector<char*> argv;
    for (std::string& string : strings) {
        argv.push_back(string.data());
    }
    argv.push_back(nullptr);
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return waitFor(pid, began);
}

inline double statusMiB(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) {
            return std::stod(line.substr(field.size())) / 1024.0;
        }
    }
    return 0;
}

// Lowers this process's peak resident size (VmHWM) to what is resident now.
inline void resetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

} // namespace bench
