// Runs tvqcard under a pseudo-terminal and keeps everything it drew there.
#pragma once

#include <chrono>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tvqtest {

// Runs tvqcard under a terminal cols wide (0: the terminal tells no size; stderr
// into errFile when one is given) until it ends or 60 s pass; what it drew.
inline std::string OnTerminal(const std::vector<std::string> &args, unsigned short cols, int *status,
                              const std::string &errFile = std::string())
{
    int master = -1;
    struct winsize ws {};
    ws.ws_col = cols;
    ws.ws_row = 24;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, cols ? &ws : nullptr);
    if (pid < 0) return "";
    if (pid == 0) {
        if (!errFile.empty()) {
            const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 2);
        }
        std::vector<char *> argv{const_cast<char *>(TVQCARD_PATH)};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(TVQCARD_PATH, argv.data());
        ::_exit(127);
    }
    std::string screen;
    char buf[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0 || std::chrono::steady_clock::now() > until) break;
        screen.append(buf, static_cast<size_t>(n));
    }
    ::close(master);
    ::kill(pid, SIGKILL);
    int st = 0;
    ::waitpid(pid, &st, 0);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : 1000;
    return screen;
}

}  // namespace tvqtest
