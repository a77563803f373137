// QEVCRDIO_TRACE: every command with its CDB, status and lengths, and no data;
// and the flush a process's exit owes to what it wrote.
#include "EmuUnit.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

std::string Text(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(SgTrace, EveryCommandLoggedWithoutDataAndExitFlushes)
{
    char tmpl[] = "/tmp/tvq-sgtrace-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl, trace = dir + "/trace.log";
    // Before the library's first command: the trace is looked for then.
    setenv("QEVCRDIO_TRACE", trace.c_str(), 1);
    setenv("QEVCRDIO_BACKEND", "sg", 1);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    tvqtest::EmuUnit &u = tvqtest::Emu().AddUnit(tvqtest::EmuModel::Tvq210CF, true, dir);
    u.Insert(1, 1024, 1);

    pid_t pid = fork();
    if (pid == 0) {
        // A program that writes and exits without freeing anything.
        QevSlotRecord t[QEV_MAX_TARGETS];
        if (QevScScanEx(AcceptAll, "TVQ-MTX", t) != 11) _exit(2);
        std::vector<uint8_t> data(8 * 512, 0x5A);
        if (QevScWrite10(0, 16, 8, data.data(), 512) != 0) _exit(3);
        if (!tvqtest::Emu().Violations().empty()) _exit(4);
        std::exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    std::string log = Text(trace);
    // The write's CDB: WRITE(10), LBA 16, 8 blocks, 4096 bytes out.
    size_t w = log.find("cdb=[2a 00 00 00 00 10 00 00 08 00] dir=out len=4096 status=0x00");
    ASSERT_NE(w, std::string::npos) << log;
    // Flushed at exit, after the write.
    EXPECT_NE(log.find("cdb=[35 00 00 00 00 00 00 00 00 00] dir=none len=0 status=0x00", w), std::string::npos) << log;
    // INQUIRY and TEST UNIT READY's unit attention with its sense.
    EXPECT_NE(log.find("cdb=[12 00 00 00 24 00] dir=in len=36"), std::string::npos);
    EXPECT_NE(log.find("status=0x02"), std::string::npos);
    EXPECT_NE(log.find("sense=[70 00 06 00 00 00 00 0a 00 00 00 00 28 00"), std::string::npos);
    EXPECT_NE(log.find("rc=0x02800006"), std::string::npos);
    EXPECT_NE(log.find("# scan: 11 target(s) accepted"), std::string::npos);
    // No data: the written bytes never appear.
    EXPECT_EQ(log.find("5a 5a"), std::string::npos);
    EXPECT_EQ(log.find("5A5A"), std::string::npos);
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace
