// Loop devices over the test's own files, the only block devices a test may
// write. Each lives in a scratch folder (TVQ_LOOP_SCRATCH, set by ctest, else
// the system's temporary folder); the object detaches its device, and undoes
// mounts and swap of it, and removes its file, whatever the test did. A
// crashed test leaves them to the scratch cleanup that ctest runs at the end.
//
// Loop devices need root and /dev/loop-control. Where they are missing a test
// skips and says why; under CI=true it fails instead (CI must run them):
//     TVQ_REQUIRE_LOOP();
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tvqtest {

class LoopDevice {
public:
    // Why loop devices cannot be used here, "" when they can.
    static std::string Unavailable();
    // A folder of this test process inside the scratch folder (made on first use).
    static std::string ScratchDir();

    // A new zero-filled (sparse) file of bytes in dir (default ScratchDir()),
    // attached with the given logical block size; partitions: the kernel
    // scans its partition table.
    explicit LoopDevice(uint64_t bytes, uint32_t blockSize = 512, bool partitions = false,
                        const std::string &dir = std::string());
    // Detaches (undoing mounts and swap first) and removes the file.
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;

    // "/dev/loopN" while attached; the last one after Detach().
    const std::string &Node() const { return node_; }
    // The backing file.
    const std::string &File() const { return file_; }
    // Detaches through the loop-control interface; the node stays.
    void Detach();
    // Attaches the file again, to the same node when it is free (read-only: as a write-protected card).
    void Attach(bool readOnly = false);
    // Swaps the backing file of a read-only device for another file of the
    // test's (LOOP_CHANGE_FD): another medium in the same device. The object
    // detaches the device at the end as before; the other file stays the caller's.
    void ChangeFile(const std::string &file);
    // Partition n (from 1) over sectors [first, first + count), told to the
    // kernel directly (it may have no partition table parsers).
    void AddPartition(int n, uint64_t first, uint64_t count);
    // Mounts the device (or one of its partitions) on a new folder of the scratch dir.
    std::string Mount(const std::string &what, const std::string &fsType);
    void UnmountAll();

    // Bytes of the backing file.
    std::vector<uint8_t> Bytes(uint64_t offset, size_t len) const;
    void Put(uint64_t offset, const std::vector<uint8_t> &bytes);

private:
    void AttachTo(int preferred);
    std::string file_;
    std::string backing_;  // the file attached now (file_ unless changed)
    std::string node_;
    bool readOnly_ = false;
    uint32_t blockSize_;
    bool partitions_;
    bool attached_ = false;
    std::vector<std::string> mounts_;
};

// The file a loop node ("/dev/loop3") is attached to, "" when none.
std::string BackingFile(const std::string &node);
// Runs a shell command; its exit status (-1 when it could not run).
int Shell(const std::string &command);
// Runs a shell command; its standard output.
std::string ShellOutput(const std::string &command);

}  // namespace tvqtest

// Skips the test when loop devices cannot be used (fails under CI=true).
#define TVQ_REQUIRE_LOOP()                                                                        \
    do {                                                                                          \
        std::string why_ = ::tvqtest::LoopDevice::Unavailable();                                  \
        if (!why_.empty()) {                                                                      \
            const char *ci_ = std::getenv("CI");                                                  \
            if (ci_ && std::string(ci_) == "true") FAIL() << "loop devices needed in CI: " << why_; \
            GTEST_SKIP() << "needs loop devices: " << why_;                                       \
        }                                                                                         \
    } while (0)
