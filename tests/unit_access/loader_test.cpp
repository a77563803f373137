// Loading the pass-through library: a broken or missing library is reported as
// unusable and every operation then fails quietly instead of crashing.
#include "scsiio.h"
#include "tvq2xx.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class LoaderTest : public ::testing::Test {
protected:
    void TearDown() override { UnloadScsiLibrary(); }
};

void ExpectEveryOperationFails()
{
    SlotTableType table = {};
    EXPECT_EQ(ScanUnit(table), 0u);
    UnitInfoType info = {};
    EXPECT_FALSE(ReadFirmwareInfo(info));
    EXPECT_EQ(CheckUnit(false, info), UnitCheckFirmware);
    uint32_t target = 0, kind = ModelTvq210;
    EXPECT_FALSE(CheckTargetIdentity(target, kind));
    SlotRecord rec = {};
    EXPECT_FALSE(ReadDriveInfo(0, rec));
    SlotStatusBlockType status = {};
    EXPECT_FALSE(ReadSlotStatus(status));
    std::vector<uint8_t> buf(kTransferBufferSize);
    EXPECT_FALSE(ReadSectors(target, 0, 1, buf.data(), 512));
    EXPECT_FALSE(WriteSectors(target, 0, 1, buf.data(), 512));
    EXPECT_FALSE(EjectCard(target));
    EXPECT_FALSE(FormatCard(target, rec));
    EXPECT_FALSE(FreeDevices());
    uint32_t all = 0xFF;
    EXPECT_FALSE(FreeDevicesEx(all));
    EXPECT_FALSE(ScsiGetVersion());
}

TEST_F(LoaderTest, NothingLoadedMeansEveryOperationFails)
{
    UnloadScsiLibrary();
    EXPECT_FALSE(ScsiLibraryLoaded());
    ExpectEveryOperationFails();
}

TEST_F(LoaderTest, MissingFunctionMakesTheLibraryUnusable)
{
    std::string why;
    EXPECT_FALSE(LoadScsiLibraryFrom(STUB_NO_FORMAT_PATH, &why));
    EXPECT_NE(why.find("QevScFormat"), std::string::npos) << why;
    EXPECT_FALSE(ScsiLibraryLoaded());
    // None of the twelve functions that were there may be left half bound.
    EXPECT_EQ(Scsi.GetVersion, nullptr);
    EXPECT_EQ(Scsi.Read10, nullptr);
    ExpectEveryOperationFails();
}

TEST_F(LoaderTest, MissingFileIsReported)
{
    std::string why;
    EXPECT_FALSE(LoadScsiLibraryFrom(std::string(STUB_DIR) + "/no-such-library.so", &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(ScsiGetVersion());
    EXPECT_FALSE(LoadScsiLibraryFrom("", &why));
    EXPECT_FALSE(ScsiLibraryLoaded());
}

TEST_F(LoaderTest, VersionZeroMeansUnusable)
{
    std::string why;
    ASSERT_TRUE(LoadScsiLibraryFrom(STUB_UNUSABLE_PATH, &why)) << why;
    EXPECT_TRUE(ScsiLibraryLoaded());
    LibVersion[0] = LibVersion[1] = 0;
    EXPECT_FALSE(ScsiGetVersion());
    // The library wrote its words even while saying no.
    EXPECT_EQ(LibVersion[0], 9u);

    // The result senses: eject and the free calls succeed on non-zero, the rest on zero.
    uint32_t target = 0;
    EXPECT_TRUE(EjectCard(target));
    EXPECT_TRUE(FreeDevices());
    uint32_t all = 0xFF;
    EXPECT_TRUE(FreeDevicesEx(all));
    SlotRecord rec = {};
    EXPECT_TRUE(FormatCard(target, rec));
    uint32_t anyKind = 0;
    EXPECT_FALSE(CheckTargetIdentity(target, anyKind));  // the stub answers no INQUIRY

    // A transfer larger than the 64 KB buffer is refused before it reaches the library.
    std::vector<uint8_t> buf(kTransferBufferSize);
    EXPECT_TRUE(ReadSectors(target, 0, kMaxBlockSectors, buf.data(), 512));
    EXPECT_FALSE(ReadSectors(target, 0, kMaxBlockSectors + 1, buf.data(), 512));
    EXPECT_FALSE(WriteSectors(target, 0, kMaxBlockSectors, buf.data(), 1024));
    EXPECT_FALSE(WriteSectors(target, 0, 1, nullptr, 512));
}

#ifdef REAL_LIBRARY_PATH
TEST_F(LoaderTest, RealLibraryLoadsFromTheProgramFolderAndByPath)
{
    std::string why;
    ASSERT_TRUE(LoadScsiLibrary(&why)) << why;
    EXPECT_TRUE(ScsiGetVersion());
    const uint32_t major = LibVersion[0], minor = LibVersion[1];

    // A second load replaces the first cleanly.
    ASSERT_TRUE(LoadScsiLibraryFrom(REAL_LIBRARY_PATH, &why)) << why;
    LibVersion[0] = LibVersion[1] = 0xDEAD;
    EXPECT_TRUE(ScsiGetVersion());
    EXPECT_EQ(LibVersion[0], major);
    EXPECT_EQ(LibVersion[1], minor);

    // With Qt up the program folder is found the same way.
    {
        int argc = 1;
        char name[] = "unit_access_loader_test";
        char *argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        ASSERT_TRUE(LoadScsiLibrary(&why)) << why;
        EXPECT_TRUE(ScsiGetVersion());
    }

    // A failed load after a good one leaves nothing usable behind.
    EXPECT_FALSE(LoadScsiLibraryFrom(STUB_NO_FORMAT_PATH, &why));
    EXPECT_FALSE(ScsiGetVersion());
}
#endif

}  // namespace
