// The image reader and writer of tvqcard: every format read back exactly,
// as written here and as the formats' own tools write them; the length a file
// states; truncated, corrupt and trailing data refused, never a short image.
#include "Compress.h"
#include "Pattern.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using imagefile::Format;
using imagefile::Length;

namespace {

class CompressTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tvq-compress-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string &name) const { return dir + "/" + name; }

    static void Save(const std::string &path, const std::vector<uint8_t> &bytes)
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(f.good());
    }
    static std::vector<uint8_t> Load(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    static void Shell(const std::string &cmd) { ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd; }

    // Compressible and incompressible stretches, and an odd length.
    static std::vector<uint8_t> Image(size_t bytes, uint32_t seed)
    {
        std::vector<uint8_t> v = tvqtest::Pattern(bytes, seed);
        for (size_t i = 0; i < bytes; i += 64 * 1024)
            std::fill(v.begin() + i, v.begin() + std::min(bytes, i + 32 * 1024), uint8_t(seed));
        return v;
    }

    void WriteWith(const std::string &path, Format f, const std::vector<uint8_t> &bytes, uint64_t expected)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        imagefile::Writer w(fd, f, expected);
        // In uneven pieces, as the card reader hands them over.
        for (size_t at = 0; at < bytes.size();) {
            const size_t n = std::min<size_t>(bytes.size() - at, 100000 + at % 777);
            ASSERT_TRUE(w.Write(bytes.data() + at, n)) << w.Error();
            at += n;
        }
        ASSERT_TRUE(w.Finish()) << w.Error();
        ASSERT_EQ(::close(fd), 0);
    }

    struct Got {
        Format format = Format::Plain;
        Length length;
        std::vector<uint8_t> bytes;
        bool failed = false;
        std::string error;
    };
    // The whole image, in reads of n bytes.
    static Got ReadAll(const std::string &path, size_t n = 65536)
    {
        Got g;
        const int fd = ::open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << path;
        std::string why;
        std::unique_ptr<imagefile::Reader> r = imagefile::Reader::Open(fd, &why);
        if (!r) {
            g.failed = true;
            g.error = why;
            return g;
        }
        g.format = r->format();
        g.length = r->length();
        std::vector<uint8_t> buf(n);
        for (;;) {
            const ssize_t got = r->Read(buf.data(), buf.size());
            if (got < 0) {
                g.failed = true;
                g.error = r->Error();
                break;
            }
            if (got == 0) break;
            g.bytes.insert(g.bytes.end(), buf.begin(), buf.begin() + got);
        }
        return g;
    }

    std::string dir;
};

TEST_F(CompressTest, EachFormatRoundTripsWithItsLength)
{
    const std::vector<uint8_t> image = Image(3 * 1024 * 1024 + 123, 5);
    struct Case {
        const char *name;
        Format format;
        Length::Kind kind;
    };
    const Case cases[] = {
        {"i.img", Format::Plain, Length::Exact},
        {"i.img.gz", Format::Gzip, Length::AtLeast},  // one small member: ISIZE cannot have wrapped
        {"i.img.xz", Format::Xz, Length::Exact},
        {"i.img.zst", Format::Zstd, Length::Exact},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(imagefile::FormatOfName(Path(c.name)), c.format);
        WriteWith(Path(c.name), c.format, image, image.size());
        for (size_t n : {size_t(1) << 20, size_t(4097)}) {
            const Got g = ReadAll(Path(c.name), n);
            EXPECT_FALSE(g.failed) << g.error;
            EXPECT_EQ(g.format, c.format);
            EXPECT_EQ(g.length.kind, c.kind);
            EXPECT_EQ(g.length.bytes, image.size());
            EXPECT_TRUE(g.bytes == image) << "read back " << g.bytes.size() << " bytes";
        }
    }
    // Their own tools read what was written.
    Shell("gzip -t " + Path("i.img.gz") + " && xz -t " + Path("i.img.xz") + " && zstd -q -t " + Path("i.img.zst"));
    Shell("zstd -q -d -c " + Path("i.img.zst") + " | cmp - " + Path("i.img"));

    // A second read after a rewind gives the same bytes.
    const int fd = ::open(Path("i.img.xz").c_str(), O_RDONLY);
    std::string why;
    auto r = imagefile::Reader::Open(fd, &why);
    ASSERT_TRUE(r) << why;
    std::vector<uint8_t> first(5000), again(5000);
    ASSERT_TRUE(r->ReadExactly(first.data(), first.size()));
    ASSERT_TRUE(r->Rewind());
    ASSERT_TRUE(r->ReadExactly(again.data(), again.size()));
    EXPECT_TRUE(first == again);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), image.begin()));
}

TEST_F(CompressTest, FilesOfTheFormatsOwnToolsAndConcatenatedStreams)
{
    const std::vector<uint8_t> a = Image(700 * 1024 + 1, 7), b = Image(300 * 1024 + 5, 8);
    Save(Path("a"), a);
    Save(Path("b"), b);
    std::vector<uint8_t> ab = a;
    ab.insert(ab.end(), b.begin(), b.end());
    struct Case {
        const char *tool, *ext;
        Format format;
    };
    const Case cases[] = {
        {"gzip -c", "gz", Format::Gzip},
        {"xz -c", "xz", Format::Xz},
        {"zstd -q -c", "zst", Format::Zstd},
        {"bzip2 -c", "bz2", Format::Bzip2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tool);
        const std::string one = Path(std::string("a.") + c.ext), two = Path(std::string("ab.") + c.ext);
        Shell(std::string(c.tool) + " " + Path("a") + " > " + one);
        Shell(std::string(c.tool) + " " + Path("b") + " > " + Path("b.tmp") + " && cat " + one + " " + Path("b.tmp") +
              " > " + two);
        Got g = ReadAll(one);
        EXPECT_FALSE(g.failed) << g.error;
        EXPECT_EQ(g.format, c.format);
        EXPECT_TRUE(g.bytes == a) << g.bytes.size();
        g = ReadAll(two, 10007);
        EXPECT_FALSE(g.failed) << g.error;
        EXPECT_TRUE(g.bytes == ab) << g.bytes.size();
        if (c.format == Format::Xz || c.format == Format::Zstd) {
            EXPECT_EQ(g.length.kind, Length::Exact);
            EXPECT_EQ(g.length.bytes, ab.size());
        } else if (c.format == Format::Gzip) {
            // Only the last member's size is in the file: a lower bound.
            EXPECT_EQ(g.length.kind, Length::AtLeast);
            EXPECT_EQ(g.length.bytes, b.size());
        } else {
            EXPECT_EQ(g.length.kind, Length::Unknown);
        }
    }

    // The format is in the bytes, not the name.
    Shell("cp " + Path("a.xz") + " " + Path("renamed.img") + " && cp " + Path("a") + " " + Path("plain.gz"));
    Got g = ReadAll(Path("renamed.img"));
    EXPECT_EQ(g.format, Format::Xz);
    EXPECT_TRUE(g.bytes == a);
    g = ReadAll(Path("plain.gz"));
    EXPECT_EQ(g.format, Format::Plain);
    EXPECT_TRUE(g.bytes == a);

    // A zstd stream made from a pipe states no length; it is still read whole.
    Shell("cat " + Path("a") + " | zstd -q -c > " + Path("piped.zst"));
    g = ReadAll(Path("piped.zst"));
    EXPECT_FALSE(g.failed) << g.error;
    EXPECT_EQ(g.length.kind, Length::Unknown);
    EXPECT_TRUE(g.bytes == a);

    // A gzip file too large for ISIZE to be trusted tells no length.
    const std::vector<uint8_t> big = tvqtest::Pattern(4200 * 1024, 9);  // incompressible: > 4 MB compressed
    Save(Path("big"), big);
    Shell("gzip -1 -c " + Path("big") + " > " + Path("big.gz"));
    g = ReadAll(Path("big.gz"));
    EXPECT_EQ(g.length.kind, Length::Unknown);
    EXPECT_TRUE(g.bytes == big);
}

TEST_F(CompressTest, TruncatedCorruptAndTrailingDataAreErrors)
{
    const std::vector<uint8_t> image = Image(900 * 1024 + 77, 11);
    Save(Path("i"), image);
    for (const char *tool : {"gzip -c", "xz -c", "zstd -q -c", "bzip2 -c"}) {
        SCOPED_TRACE(tool);
        const std::vector<uint8_t> whole = [&] {
            Shell(std::string(tool) + " " + Path("i") + " > " + Path("c"));
            return Load(Path("c"));
        }();
        ASSERT_GT(whole.size(), 100u);
        // Cut anywhere: at the end, in the trailer, in the middle, after the header.
        for (size_t keep : {whole.size() - 1, whole.size() - 4, whole.size() / 2, size_t(12)}) {
            SCOPED_TRACE(keep);
            Save(Path("cut"), std::vector<uint8_t>(whole.begin(), whole.begin() + keep));
            const Got g = ReadAll(Path("cut"));
            EXPECT_TRUE(g.failed) << "a truncated stream read as " << g.bytes.size() << " bytes";
            EXPECT_FALSE(g.error.empty());
        }
        // A byte changed in the middle of the data.
        std::vector<uint8_t> bad = whole;
        bad[bad.size() / 2] ^= 0x55;
        Save(Path("bad"), bad);
        Got g = ReadAll(Path("bad"));
        EXPECT_TRUE(g.failed) << "corrupt data read as " << g.bytes.size() << " bytes";
        // Something after the stream that is not another stream.
        std::vector<uint8_t> trailing = whole;
        for (char ch : std::string("not a stream at all")) trailing.push_back(uint8_t(ch));
        Save(Path("trailing"), trailing);
        g = ReadAll(Path("trailing"));
        EXPECT_TRUE(g.failed) << "trailing data ignored";
    }
}

}  // namespace
