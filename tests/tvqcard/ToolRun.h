// Runs tvqcard as its own process with stdout and stderr in files, in the
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
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&pid_, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
        posix_spawn_file_actions_destroy(&fa);
        return rc == 0;
    }
    pid_t Pid() const { return pid_; }
    // Stderr so far (of a run in the background).
    std::string ErrSoFar() const { return Slurp(err_); }
    Result Wait()
    {
        Result r;
        int st = 0;
        if (pid_ > 0 && ::waitpid(pid_, &st, 0) == pid_) r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
        pid_ = -1;
        r.out = Slurp(out_);
        r.err = Slurp(err_);
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
    pid_t pid_ = -1;
};

}  // namespace tvqtest
