// tvqcard with compressed images on a virtual unit: read into .zst, .gz and
// .xz and written back; bzip2 made by its own tool; a truncated stream; an
// image longer than the card, refused before a byte where the file states its
// length, else stopped at the card's end.
#include "Pattern.h"
#include "VirtualBus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using tvqtest::VirtualBus;

namespace {

struct ToolResult {
    int rc = -1;
    std::string out, err;
};

class CompressedImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bus = std::make_unique<VirtualBus>();
        bus->AddUnit("u");
        bus->InsertBlank("u", 1, kCard);
        bus->InsertBlank("u", 2, kCard);
        bus->InsertBlank("u", 3, kSmall);
        // A card image with stretches that compress and stretches that do not, ending in a partial sector.
        image = tvqtest::Pattern(kCard, 21);
        for (size_t i = 0; i < image.size(); i += 128 * 1024)
            std::fill(image.begin() + i, image.begin() + std::min(image.size(), i + 64 * 1024), uint8_t(i >> 17));
        Save(bus->CardImage("u", 1), image);
        small = tvqtest::Pattern(kSmall, 22);
        Save(bus->CardImage("u", 3), small);
    }

    std::string Scratch(const std::string &name) const { return bus->ScratchDir() + "/" + name; }

    static void Save(const std::string &path, const std::vector<uint8_t> &bytes)
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(f.good()) << path;
    }
    static std::string Slurp(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    std::vector<uint8_t> Card(int slot) const { return VirtualBus::ReadFile(bus->CardImage("u", slot)); }

    // tvqcard with args (a shell line); a run that hangs is cut off after 60 s (exit status 124).
    ToolResult Tool(const std::string &args)
    {
        const std::string out = Scratch("out"), err = Scratch("err");
        const std::string cmd = "timeout 60 " TVQCARD_PATH " --quiet " + args + " >" + out + " 2>" + err;
        const int st = std::system(cmd.c_str());
        ToolResult r;
        r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : 1000;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }
    static void Shell(const std::string &cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }
    std::string Sha256Of(const std::string &path)
    {
        Shell("sha256sum " + path + " | cut -c1-64 > " + Scratch("sum"));
        std::string s = Slurp(Scratch("sum"));
        while (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }

    static constexpr uint64_t kCard = 4u << 20, kSmall = 1u << 20;
    std::unique_ptr<VirtualBus> bus;
    std::vector<uint8_t> image, small;
};

TEST_F(CompressedImageTest, EachFormatRoundTrips)
{
    const std::string cardSum = Sha256Of(bus->CardImage("u", 1));
    struct Case {
        const char *ext;
        std::string magic;
    };
    const Case cases[] = {
        {"zst", std::string("\x28\xB5\x2F\xFD", 4)},
        {"gz", std::string("\x1F\x8B", 2)},
        {"xz", std::string("\xFD" "7zXZ", 5)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ext);
        const std::string file = Scratch(std::string("card.img.") + c.ext);
        ToolResult r = Tool("read 1 " + file + " --sha256");
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, 64), cardSum) << "the sum is of the card's bytes, not the file's";
        const std::string bytes = Slurp(file);
        ASSERT_GE(bytes.size(), c.magic.size());
        EXPECT_EQ(bytes.substr(0, c.magic.size()), c.magic) << "written in the format its name asks for";
        EXPECT_LT(bytes.size(), kCard) << "compressed";

        Save(bus->CardImage("u", 2), std::vector<uint8_t>(kCard, 0xEE));
        r = Tool("write " + file + " 2 --verify --sha256");
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out.substr(0, 64), cardSum);
        EXPECT_TRUE(Card(2) == image) << "the card written from the compressed image is the card read";
        Shell("cmp " + bus->CardImage("u", 1) + " " + bus->CardImage("u", 2));

        r = Tool("compare 2 " + file);
        EXPECT_EQ(r.rc, 0) << r.err;
    }

    // A sums list may be compressed too.
    Shell("printf '%s  slot1\\n%s  slot2\\n' " + cardSum + " " + cardSum + " | gzip -c > " + Scratch("sums.gz"));
    ToolResult r = Tool("hash --check " + Scratch("sums.gz"));
    EXPECT_EQ(r.rc, 0) << r.err << r.out;
}

TEST_F(CompressedImageTest, Bzip2FromItsOwnToolAndAStreamWithoutItsLength)
{
    Save(Scratch("plain.img"), image);
    Shell("bzip2 -c " + Scratch("plain.img") + " > " + Scratch("card.bz2"));
    // Through a pipe, zstd does not record the length either.
    Shell("cat " + Scratch("plain.img") + " | zstd -q -c > " + Scratch("piped.zst"));
    for (const char *name : {"card.bz2", "piped.zst"}) {
        SCOPED_TRACE(name);
        Save(bus->CardImage("u", 2), std::vector<uint8_t>(kCard, 0x11));
        ToolResult r = Tool("write " + Scratch(name) + " 2 --verify");
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_TRUE(Card(2) == image);
        r = Tool("compare 2 " + Scratch(name));
        EXPECT_EQ(r.rc, 0) << r.err;
        // Against a card it differs from: a difference (exit 1), not a failure.
        r = Tool("compare 3 " + Scratch(name) + " --max-diffs 3");
        EXPECT_EQ(r.rc, 1) << r.err;
    }
    // A shorter image of unknown length: only its bytes are written, the rest of the card is kept.
    const std::vector<uint8_t> part(image.begin(), image.begin() + 700 * 1024 + 3);
    Save(Scratch("part.img"), part);
    Shell("bzip2 -c " + Scratch("part.img") + " > " + Scratch("part.bz2"));
    std::vector<uint8_t> expected(kCard, 0x22);
    Save(bus->CardImage("u", 2), expected);
    ToolResult r = Tool("write " + Scratch("part.bz2") + " 2 --verify");
    ASSERT_EQ(r.rc, 0) << r.err;
    std::copy(part.begin(), part.end(), expected.begin());
    EXPECT_TRUE(Card(2) == expected);
}

TEST_F(CompressedImageTest, TruncatedOrCorruptStreamsFail)
{
    ToolResult r = Tool("read 1 " + Scratch("card.xz"));
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string xz = Slurp(Scratch("card.xz"));
    for (size_t keep : {xz.size() - 1, xz.size() / 2}) {
        SCOPED_TRACE(keep);
        std::ofstream(Scratch("cut.xz"), std::ios::binary | std::ios::trunc) << xz.substr(0, keep);
        Save(bus->CardImage("u", 2), std::vector<uint8_t>(kCard, 0x33));
        r = Tool("write " + Scratch("cut.xz") + " 2");
        EXPECT_EQ(r.rc, 2) << r.err;
        EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
        r = Tool("compare 1 " + Scratch("cut.xz"));
        EXPECT_EQ(r.rc, 2) << r.err;
    }
    // A byte changed inside a zstd frame (which carries a checksum).
    r = Tool("read 1 " + Scratch("card.zst"));
    ASSERT_EQ(r.rc, 0) << r.err;
    std::string zst = Slurp(Scratch("card.zst"));
    zst[zst.size() / 2] ^= 0x40;
    std::ofstream(Scratch("bad.zst"), std::ios::binary | std::ios::trunc) << zst;
    r = Tool("write " + Scratch("bad.zst") + " 2 --verify");
    EXPECT_EQ(r.rc, 2) << r.err;
}

TEST_F(CompressedImageTest, LongerThanTheCard)
{
    Save(Scratch("plain.img"), image);
    Shell("zstd -q -c " + Scratch("plain.img") + " > " + Scratch("big.zst") + " && xz -c " + Scratch("plain.img") +
          " > " + Scratch("big.xz") + " && gzip -c " + Scratch("plain.img") + " > " + Scratch("big.gz"));
    // The length is in the file: refused before a byte is written.
    for (const char *name : {"big.zst", "big.xz", "big.gz"}) {
        SCOPED_TRACE(name);
        ToolResult r = Tool("write " + Scratch(name) + " 3");
        EXPECT_EQ(r.rc, 2);
        EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
        EXPECT_TRUE(Card(3) == small) << "not a byte written";
    }
    // Not in the file: written to the card's end, then stopped, and nothing reported past it.
    Shell("bzip2 -c " + Scratch("plain.img") + " > " + Scratch("big.bz2"));
    ToolResult r = Tool("write " + Scratch("big.bz2") + " 3 --json");
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("holds more than the card in slot3"), std::string::npos) << r.err;
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + kSmall, Card(3).begin()));
    EXPECT_EQ(Card(3).size(), kSmall);
    EXPECT_NE(r.out.find("\"result\": \"failed\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"bytes\": " + std::to_string(kSmall) + ","), std::string::npos) << r.out;
    // A compare says how much of the image lies past the card.
    r = Tool("compare 3 " + Scratch("big.bz2") + " --json");
    EXPECT_EQ(r.rc, 1) << r.err;
    EXPECT_NE(r.out.find("\"fileBytesPastCard\": " + std::to_string(kCard - kSmall)), std::string::npos) << r.out;
}

}  // namespace
