// Runs tvqcard as its own process with stdout and stderr in files (or stdout
// where the test says: /dev/full, a file opened for appending), in the
// foreground or the background, with extra environment variables.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace tvqtest {

struct Result {
    int rc = -1;
    std::string out, err;
};

inline std::string Slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class ToolRun {
public:
    ToolRun(const std::string &scratch, std::map<std::string, std::string> env = {})
        : out_(scratch + "/tool-out-" + std::to_string(++serial_)), err_(out_ + ".err"), env_(std::move(env))
    {
    }
    // Starts tvqcard with args; false when it could not be started.
    bool Start(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{TVQCARD_PATH, "--quiet"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargv;
        for (auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        std::vector<std::string> envs;
        for (char **e = environ; *e; ++e) {
            std::string kv = *e;
            if (!env_.count(kv.substr(0, kv.find('=')))) envs.push_back(kv);
        }
        for (auto &kv : env_) envs.push_back(kv.first + "=" + kv.second);
        std::vector<char *> cenv;
        for (auto &e : envs) cenv.push_back(const_cast<char *>(e.c_str()));
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (stdout_.empty())
            posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        else
            posix_spawn_file_actions_addopen(&fa, 1, stdout_.c_str(), O_WRONLY | O_CREAT | (append_ ? O_APPEND : O_TRUNC), 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
        posix_spawn_file_actions_destroy(&fa);
        return rc == 0;
    }
    // Stdout goes to path instead (opened for writing, appending when told), read back as out.
    void StdoutTo(const std::string &path, bool append = false)
    {
        stdout_ = path;
        append_ = append;
    }
    pid_t Pid() const { return pid_; }
    // Stderr so far (of a run in the background).
    std::string ErrSoFar() const { return Slurp(err_); }
    // The run's end; one that takes longer than timeout seconds is killed (rc 1009, "timed out" in err).
    Result Wait(int timeoutSeconds = 120)
    {
        Result r;
        int st = 0;
        bool late = false;
        for (int waited = 0; pid_ > 0; ++waited) {
            const pid_t got = ::waitpid(pid_, &st, late ? 0 : WNOHANG);
            if (got == pid_) {
                r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
                break;
            }
            if (got < 0) break;
            if (waited >= timeoutSeconds * 100) {
                late = true;
                ::kill(pid_, SIGKILL);
                continue;
            }
            ::usleep(10000);
        }
        pid_ = -1;
        r.out = stdout_.empty() ? Slurp(out_) : std::string();
        r.err = Slurp(err_);
        if (late) r.err += "\n(timed out after " + std::to_string(timeoutSeconds) + " s)";
        return r;
    }
    ~ToolRun()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

private:
    static inline int serial_ = 0;
    std::string out_, err_;
    std::map<std::string, std::string> env_;
    std::string stdout_;
    bool append_ = false;
    pid_t pid_ = -1;
};

}  // namespace tvqtest
