// Runs tvqunit as its own process through the shell, on a test's virtual
// bus, with stdout and stderr kept apart.
#pragma once

#include "VirtualBus.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace tvqtest {

struct Result {
    int rc = -1;
    std::string out, err;
    double seconds = 0;
};

inline std::string Slurp(const std::string &path)
{
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// One word for the shell, whatever it holds.
inline std::string Quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

// The command line; withBus names the bus with --bus (else tvqunit finds it itself).
inline std::string Command(const std::string &bus, const std::vector<std::string> &args, bool withBus = true)
{
    std::string cmd = Quote(TVQUNIT_PATH);
    if (withBus) cmd += " --bus " + Quote(bus);
    for (const auto &a : args) cmd += " " + Quote(a);
    return cmd;
}

// Runs tvqunit; with timeoutSeconds a run that hangs is cut off then (exit status 124).
inline Result RunTvqunit(VirtualBus &bus, const std::vector<std::string> &args, bool withBus = true,
                         int timeoutSeconds = 0)
{
    std::string out = bus.ScratchDir() + "/out", err = bus.ScratchDir() + "/err";
    std::string cmd = Command(bus.Dir(), args, withBus);
    if (timeoutSeconds > 0) cmd = "timeout " + std::to_string(timeoutSeconds) + " " + cmd;
    auto t0 = std::chrono::steady_clock::now();
    int st = std::system((cmd + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
    Result r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
}

}  // namespace tvqtest
