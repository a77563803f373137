// What the benchmarks share: wall and CPU time, running the system tool they
// are compared with, and their common options. Header only; no library.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

inline double Cpu(const struct rusage &r)
{
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of this process so far: far less moved by other work on the machine than wall time.
inline double SelfCpu()
{
    struct rusage r {};
    getrusage(RUSAGE_SELF, &r);
    return Cpu(r);
}

// Runs a program (found on PATH) with its arguments; the wall time, or a
// negative value when it failed. *cpu gets its CPU time.
inline double TimeRun(const std::vector<std::string> &argv, double *cpu = nullptr)
{
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::vector<char *> a;
        for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        execvp(a[0], a.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    double s = Seconds(Clock::now() - t0);
    if (cpu) *cpu = Cpu(usage);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

// A shell command's output without its trailing blanks.
inline std::string Output(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A new folder name-XXXXXX in dir (the system's temporary folder when
// empty); "" with the reason said when it cannot be made.
inline std::string MakeScratchDir(const std::string &dir, const char *name)
{
    std::string tmpl = (dir.empty() ? std::filesystem::temp_directory_path().string() : dir) + "/" + name + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::perror(name);
        return std::string();
    }
    return tmpl;
}

struct Options {
    uint64_t sizeMiB = 1024;
    int rounds = 5;
    std::string dir;
};

// [--size-mib N] [--rounds N] [--dir DIR]; false (with the usage said) on anything else.
inline bool ParseOptions(int argc, char **argv, const char *name, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--size-mib" && i + 1 < argc) o->sizeMiB = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--rounds" && i + 1 < argc) o->rounds = std::atoi(argv[++i]);
        else if (a == "--dir" && i + 1 < argc) o->dir = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--size-mib N] [--rounds N] [--dir DIR]\n", name);
            return false;
        }
    }
    if (o->sizeMiB == 0 || o->sizeMiB > 65536 || o->rounds < 1) {
        std::fprintf(stderr, "%s: size 1..65536 MiB, at least one round\n", name);
        return false;
    }
    return true;
}

}  // namespace bench
