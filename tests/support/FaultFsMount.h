// The tests' FUSE fault file system (tvq_faultfs) mounted in a scratch
// folder: its files live in a backing folder beside the mount, and the rules
// (see FaultFs.cpp for their words) can change while it is mounted. Loop
// devices over its files carry faults beneath the block layer:
//
//     tvqtest::FaultFsMount fs;                 // TVQ_REQUIRE_FAULTFS() first
//     tvqtest::LoopDevice loop(1 << 20, 512, false, fs.Dir());
//     fs.SetRules({"op=fsync effect=eio"});
//
// Destroying it detaches every loop device over its files (they can only be
// the test's own), unmounts it and stops the daemon, whatever the test did.
// Declare it before the LoopDevice objects over it, so they go first.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tvqtest {

class FaultFsMount {
public:
    // Why it cannot be mounted here ("" when it can): root, /dev/fuse, the program.
    static std::string Unavailable();

    FaultFsMount();
    ~FaultFsMount();
    FaultFsMount(const FaultFsMount &) = delete;
    FaultFsMount &operator=(const FaultFsMount &) = delete;

    // The mounted folder, and the folder that holds its files.
    const std::string &Dir() const { return mount_; }
    const std::string &Backing() const { return backing_; }

    // Replaces the rules at once (one rule a line); {} clears them.
    void SetRules(const std::vector<std::string> &rules);
    // How often rule n (from 1, in the order given) met an operation, and took effect.
    uint64_t Hits(int n) const;
    uint64_t Fires(int n) const;

    // Detaches the loop devices over its files, unmounts, stops the daemon.
    void Unmount();

private:
    uint64_t Count(int n, const char *what) const;
    std::string base_, backing_, mount_, control_, status_;
    pid_t pid_ = -1;
};

}  // namespace tvqtest

// Skips the test when the fault file system cannot be mounted (fails under CI=true).
#define TVQ_REQUIRE_FAULTFS()                                                                      \
    do {                                                                                           \
        std::string whyFs_ = ::tvqtest::FaultFsMount::Unavailable();                               \
        if (!whyFs_.empty()) {                                                                     \
            const char *ciFs_ = std::getenv("CI");                                                 \
            if (ciFs_ && std::string(ciFs_) == "true") FAIL() << "FUSE needed in CI: " << whyFs_; \
            GTEST_SKIP() << "needs FUSE: " << whyFs_;                                \
        }                                                                                          \
    } while (0)
