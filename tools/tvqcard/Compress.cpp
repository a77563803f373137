#include "Compress.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace imagefile {

namespace {

constexpr size_t kInBytes = 256 * 1024;

bool EndsWith(const std::string &s, const char *tail)
{
    const size_t n = std::strlen(tail);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
    return true;
}

bool PreadAll(int fd, uint8_t *p, size_t n, uint64_t at)
{
    while (n > 0) {
        const ssize_t r = ::pread(fd, p, n, static_cast<off_t>(at));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += static_cast<uint64_t>(r);
    }
    return true;
}

// The sum of every zstd frame's content size, or Unknown when one frame does not state it.
Length ZstdLength(int fd, uint64_t fileSize)
{
    Length len;
    if (fileSize == 0 || fileSize > SIZE_MAX) return len;
    void *map = ::mmap(nullptr, static_cast<size_t>(fileSize), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) return len;
    // Frame by frame: skippable frames state 0, a frame without its size makes the whole unknown.
    const uint8_t *p = static_cast<const uint8_t *>(map);
    size_t left = static_cast<size_t>(fileSize);
    uint64_t total = 0;
    bool known = true;
    while (left > 0 && known) {
        const unsigned long long n = ZSTD_getFrameContentSize(p, left);
        const size_t frame = ZSTD_findFrameCompressedSize(p, left);
        if (n == ZSTD_CONTENTSIZE_UNKNOWN || n == ZSTD_CONTENTSIZE_ERROR || ZSTD_isError(frame) || frame == 0 ||
            total + n < total) {
            known = false;
            break;
        }
        total += n;
        p += frame;
        left -= frame;
    }
    ::munmap(map, static_cast<size_t>(fileSize));
    if (known) {
        len.kind = Length::Exact;
        len.bytes = total;
    }
    return len;
}

// The uncompressed size the index of every stream in the file adds up to.
Length XzLength(int fd, uint64_t fileSize)
{
    Length len;
    lzma_stream s = LZMA_STREAM_INIT;
    lzma_index *index = nullptr;
    if (lzma_file_info_decoder(&s, &index, UINT64_MAX, fileSize) != LZMA_OK) return len;
    std::vector<uint8_t> buf(64 * 1024);
    uint64_t pos = 0;
    for (;;) {
        if (s.avail_in == 0) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), fileSize - std::min(pos, fileSize)));
            if (want == 0 || !PreadAll(fd, buf.data(), want, pos)) break;
            s.next_in = buf.data();
            s.avail_in = want;
            pos += want;
        }
        const lzma_ret r = lzma_code(&s, LZMA_RUN);
        if (r == LZMA_SEEK_NEEDED) {
            pos = s.seek_pos;
            s.avail_in = 0;
            continue;
        }
        if (r == LZMA_STREAM_END) {
            len.kind = Length::Exact;
            len.bytes = lzma_index_uncompressed_size(index);
            break;
        }
        if (r != LZMA_OK) break;
    }
    if (index) lzma_index_end(index, nullptr);
    lzma_end(&s);
    return len;
}

// ISIZE of the last member as a lower bound, where it cannot have wrapped.
Length GzipLength(int fd, uint64_t fileSize)
{
    Length len;
    if (fileSize < 18 || fileSize * 1032 >= (uint64_t(1) << 32)) return len;
    uint8_t t[4];
    if (!PreadAll(fd, t, 4, fileSize - 4)) return len;
    len.kind = Length::AtLeast;
    len.bytes = uint64_t(t[0]) | uint64_t(t[1]) << 8 | uint64_t(t[2]) << 16 | uint64_t(t[3]) << 24;
    return len;
}

}  // namespace

const char *FormatName(Format f)
{
    switch (f) {
    case Format::Plain: return "plain";
    case Format::Gzip: return "gzip";
    case Format::Xz: return "xz";
    case Format::Zstd: return "zstd";
    case Format::Bzip2: return "bzip2";
    }
    return "plain";
}

Format FormatOfName(const std::string &path)
{
    if (EndsWith(path, ".gz")) return Format::Gzip;
    if (EndsWith(path, ".xz")) return Format::Xz;
    if (EndsWith(path, ".zst")) return Format::Zstd;
    return Format::Plain;
}

Format FormatOfMagic(const uint8_t *p, size_t n)
{
    if (n >= 3 && p[0] == 0x1F && p[1] == 0x8B && p[2] == 0x08) return Format::Gzip;
    if (n >= 6 && std::memcmp(p, "\xFD" "7zXZ\0", 6) == 0) return Format::Xz;
    if (n >= 4 && p[0] == 0x28 && p[1] == 0xB5 && p[2] == 0x2F && p[3] == 0xFD) return Format::Zstd;
    // "BZh", a block size digit, then the first block's magic (pi) or the end-of-stream magic (sqrt pi).
    if (n >= 10 && p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9' &&
        (std::memcmp(p + 4, "\x31\x41\x59\x26\x53\x59", 6) == 0 || std::memcmp(p + 4, "\x17\x72\x45\x38\x50\x90", 6) == 0))
        return Format::Bzip2;
    return Format::Plain;
}

// ---- reader ----

struct Reader::Impl {
    int fd = -1;
    Format format = Format::Plain;
    Length length;
    uint64_t produced = 0;
    std::string error;
    bool failed = false;

    // Compressed input.
    std::vector<uint8_t> in;
    const uint8_t *inPos = nullptr;
    size_t inLeft = 0;
    bool inEof = false;

    // Decoders; one is in use.
    z_stream z{};
    bool zInit = false;
    lzma_stream x = LZMA_STREAM_INIT;
    bool xInit = false;
    bool xDone = false;
    ZSTD_DCtx *zs = nullptr;
    size_t zsLast = 0;  // 0: the last frame is complete
    bz_stream b{};
    bool bInit = false;
    bool inStream = false;  // inside a gzip member or bzip2 stream

    ~Impl()
    {
        EndDecoders();
        if (fd >= 0) ::close(fd);
    }

    void EndDecoders()
    {
        if (zInit) inflateEnd(&z);
        zInit = false;
        if (xInit) lzma_end(&x);
        xInit = false;
        if (zs) ZSTD_freeDCtx(zs);
        zs = nullptr;
        if (bInit) BZ2_bzDecompressEnd(&b);
        bInit = false;
    }

    ssize_t Fail(const std::string &why)
    {
        failed = true;
        error = why;
        return -1;
    }

    // More compressed input; false on a read error (failed is set).
    bool Fill()
    {
        if (inLeft > 0 || inEof) return true;
        for (;;) {
            const ssize_t r = ::read(fd, in.data(), in.size());
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                Fail(std::strerror(errno));
                return false;
            }
            inPos = in.data();
            inLeft = static_cast<size_t>(r);
            if (r == 0) inEof = true;
            return true;
        }
    }

    bool Start()
    {
        in.resize(kInBytes);
        if (::lseek(fd, 0, SEEK_SET) < 0 && errno != ESPIPE) return Fail(std::strerror(errno)), false;
        inPos = in.data();
        inLeft = 0;
        inEof = false;
        produced = 0;
        failed = false;
        error.clear();
        inStream = false;
        xDone = false;
        zsLast = 0;
        EndDecoders();
        switch (format) {
        case Format::Plain: break;
        case Format::Gzip:
            z = z_stream{};
            if (inflateInit2(&z, 15 + 16) != Z_OK) return Fail("out of memory"), false;
            zInit = true;
            break;
        case Format::Xz:
            x = LZMA_STREAM_INIT;
            if (lzma_stream_decoder(&x, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) return Fail("out of memory"), false;
            xInit = true;
            break;
        case Format::Zstd:
            zs = ZSTD_createDCtx();
            if (!zs) return Fail("out of memory"), false;
            break;
        case Format::Bzip2:
            b = bz_stream{};
            if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) return Fail("out of memory"), false;
            bInit = true;
            break;
        }
        return true;
    }

    ssize_t Plain(uint8_t *p, size_t n)
    {
        for (;;) {
            const ssize_t r = ::read(fd, p, n);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return Fail(std::strerror(errno));
            return r;
        }
    }

    ssize_t Gzip(uint8_t *p, size_t n)
    {
        z.next_out = p;
        z.avail_out = static_cast<uInt>(std::min<size_t>(n, UINT_MAX));
        const uInt want = z.avail_out;
        while (z.avail_out == want) {
            if (!Fill()) return -1;
            if (inLeft == 0 && inEof) {
                if (inStream) return Fail("the gzip stream is truncated");
                return 0;
            }
            if (!inStream) {
                // Another member follows; anything else is not part of a gzip file.
                if (inflateReset(&z) != Z_OK) return Fail("out of memory");
                inStream = true;
            }
            z.next_in = const_cast<Bytef *>(inPos);
            z.avail_in = static_cast<uInt>(std::min<size_t>(inLeft, UINT_MAX));
            const uInt had = z.avail_in;
            const int r = inflate(&z, Z_NO_FLUSH);
            inPos += had - z.avail_in;
            inLeft -= had - z.avail_in;
            if (r == Z_STREAM_END) {
                inStream = false;
                continue;
            }
            if (r == Z_BUF_ERROR) continue;  // needs more input
            if (r != Z_OK) return Fail(std::string("the gzip data is corrupt") + (z.msg ? std::string(": ") + z.msg : ""));
        }
        return static_cast<ssize_t>(want - z.avail_out);
    }

    ssize_t Xz(uint8_t *p, size_t n)
    {
        if (xDone) return 0;
        x.next_out = p;
        x.avail_out = n;
        while (x.avail_out == n) {
            if (!Fill()) return -1;
            x.next_in = inPos;
            x.avail_in = inLeft;
            const lzma_ret r = lzma_code(&x, inEof ? LZMA_FINISH : LZMA_RUN);
            inPos = x.next_in;
            inLeft = x.avail_in;
            if (r == LZMA_STREAM_END) {
                xDone = true;
                break;
            }
            if (r == LZMA_OK) continue;
            if (r == LZMA_BUF_ERROR && inEof) return Fail("the xz stream is truncated");
            if (r == LZMA_BUF_ERROR) continue;
            if (r == LZMA_MEM_ERROR || r == LZMA_MEMLIMIT_ERROR) return Fail("out of memory");
            return Fail("the xz data is corrupt");
        }
        return static_cast<ssize_t>(n - x.avail_out);
    }

    ssize_t Zstd(uint8_t *p, size_t n)
    {
        ZSTD_outBuffer out{p, n, 0};
        while (out.pos == 0) {
            if (!Fill()) return -1;
            ZSTD_inBuffer zin{inPos, inLeft, 0};
            if (inLeft == 0 && inEof) {
                // Flush what the last frame still holds; then it must be complete.
                const size_t r = ZSTD_decompressStream(zs, &out, &zin);
                if (ZSTD_isError(r)) return Fail(std::string("the zstd data is corrupt: ") + ZSTD_getErrorName(r));
                if (out.pos > 0) break;
                if (zsLast != 0) return Fail("the zstd stream is truncated");
                return 0;
            }
            const size_t r = ZSTD_decompressStream(zs, &out, &zin);
            if (ZSTD_isError(r)) return Fail(std::string("the zstd data is corrupt: ") + ZSTD_getErrorName(r));
            zsLast = r;
            inPos += zin.pos;
            inLeft -= zin.pos;
        }
        return static_cast<ssize_t>(out.pos);
    }

    ssize_t Bzip2(uint8_t *p, size_t n)
    {
        b.next_out = reinterpret_cast<char *>(p);
        b.avail_out = static_cast<unsigned>(std::min<size_t>(n, UINT_MAX));
        const unsigned want = b.avail_out;
        while (b.avail_out == want) {
            if (!Fill()) return -1;
            if (inLeft == 0 && inEof) {
                if (inStream) return Fail("the bzip2 stream is truncated");
                return 0;
            }
            if (!inStream) {
                // The next stream of a concatenated file starts afresh.
                const unsigned done = want - b.avail_out;
                BZ2_bzDecompressEnd(&b);
                bInit = false;
                b = bz_stream{};
                if (BZ2_bzDecompressInit(&b, 0, 0) != BZ_OK) return Fail("out of memory");
                bInit = true;
                b.next_out = reinterpret_cast<char *>(p + done);
                b.avail_out = want - done;
                inStream = true;
            }
            b.next_in = reinterpret_cast<char *>(const_cast<uint8_t *>(inPos));
            b.avail_in = static_cast<unsigned>(std::min<size_t>(inLeft, UINT_MAX));
            const unsigned had = b.avail_in;
            const int r = BZ2_bzDecompress(&b);
            inPos += had - b.avail_in;
            inLeft -= had - b.avail_in;
            if (r == BZ_STREAM_END) {
                inStream = false;
                continue;
            }
            if (r == BZ_MEM_ERROR) return Fail("out of memory");
            if (r != BZ_OK) return Fail("the bzip2 data is corrupt");
        }
        return static_cast<ssize_t>(want - b.avail_out);
    }

    ssize_t Read(uint8_t *p, size_t n)
    {
        if (failed) return -1;
        if (n == 0) return 0;
        ssize_t r = 0;
        switch (format) {
        case Format::Plain: r = Plain(p, n); break;
        case Format::Gzip: r = Gzip(p, n); break;
        case Format::Xz: r = Xz(p, n); break;
        case Format::Zstd: r = Zstd(p, n); break;
        case Format::Bzip2: r = Bzip2(p, n); break;
        }
        if (r < 0) return -1;
        produced += static_cast<uint64_t>(r);
        // The stated length holds the data to account.
        if (format != Format::Plain && length.kind == Length::Exact) {
            if (produced > length.bytes) return Fail("the image is longer than its stream states");
            if (r == 0 && produced < length.bytes) return Fail("the image is shorter than its stream states");
        }
        if (format != Format::Plain && length.kind == Length::AtLeast && r == 0 && produced < length.bytes)
            return Fail("the image is shorter than its stream states");
        return r;
    }
};

std::unique_ptr<Reader> Reader::Open(int fd, std::string *error)
{
    auto d = std::make_unique<Impl>();
    d->fd = fd;
    uint8_t head[16] = {};
    size_t got = 0;
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        while (got < sizeof head) {
            const ssize_t r = ::pread(fd, head + got, sizeof head - got, static_cast<off_t>(got));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) {
                *error = std::strerror(errno);
                return nullptr;
            }
            if (r == 0) break;
            got += static_cast<size_t>(r);
        }
    }
    d->format = FormatOfMagic(head, got);
    const uint64_t size = regular ? static_cast<uint64_t>(st.st_size) : 0;
    switch (d->format) {
    case Format::Plain:
        if (regular) d->length = {Length::Exact, size};
        break;
    case Format::Zstd: d->length = ZstdLength(fd, size); break;
    case Format::Xz: d->length = XzLength(fd, size); break;
    case Format::Gzip: d->length = GzipLength(fd, size); break;
    case Format::Bzip2: break;
    }
    if (!d->Start()) {
        *error = d->error;
        return nullptr;
    }
    return std::unique_ptr<Reader>(new Reader(std::move(d)));
}

Reader::Reader(std::unique_ptr<Impl> d) : d_(std::move(d)) {}
Reader::~Reader() = default;
Format Reader::format() const { return d_->format; }
const Length &Reader::length() const { return d_->length; }
ssize_t Reader::Read(uint8_t *p, size_t n) { return d_->Read(p, n); }
const std::string &Reader::Error() const { return d_->error; }
bool Reader::Rewind() { return d_->Start(); }

bool Reader::ReadExactly(uint8_t *p, size_t n)
{
    while (n > 0) {
        const ssize_t r = Read(p, n);
        if (r < 0) return false;
        if (r == 0) {
            if (d_->format == Format::Plain) d_->Fail("the file ended sooner than its size (it shrank)");
            else d_->Fail("the image ended sooner than expected");
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}


// ---- writer ----

struct Writer::Impl {
    int fd = -1;
    Format format = Format::Plain;
    std::string error;
    int err = 0;
    bool failed = false;
    std::vector<uint8_t> out = std::vector<uint8_t>(kInBytes);

    z_stream z{};
    bool zInit = false;
    lzma_stream x = LZMA_STREAM_INIT;
    bool xInit = false;
    ZSTD_CCtx *zs = nullptr;

    ~Impl()
    {
        if (zInit) deflateEnd(&z);
        if (xInit) lzma_end(&x);
        if (zs) ZSTD_freeCCtx(zs);
    }

    bool Fail(const std::string &why, int e = 0)
    {
        failed = true;
        error = why;
        err = e;
        return false;
    }

    bool Put(const uint8_t *p, size_t n)
    {
        while (n > 0) {
            const ssize_t w = ::write(fd, p, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                const int e = w < 0 ? errno : ENOSPC;
                return Fail(std::strerror(e), e);
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    bool Gzip(const uint8_t *p, size_t n, bool finish)
    {
        z.next_in = const_cast<Bytef *>(p);
        z.avail_in = static_cast<uInt>(n);
        for (;;) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            const int r = deflate(&z, finish ? Z_FINISH : Z_NO_FLUSH);
            if (r == Z_STREAM_ERROR) return Fail("gzip compression failed");
            if (!Put(out.data(), out.size() - z.avail_out)) return false;
            if (finish ? r == Z_STREAM_END : (z.avail_in == 0 && z.avail_out != 0)) return true;
        }
    }

    bool Xz(const uint8_t *p, size_t n, bool finish)
    {
        x.next_in = p;
        x.avail_in = n;
        for (;;) {
            x.next_out = out.data();
            x.avail_out = out.size();
            const lzma_ret r = lzma_code(&x, finish ? LZMA_FINISH : LZMA_RUN);
            if (r != LZMA_OK && r != LZMA_STREAM_END) return Fail("xz compression failed");
            if (!Put(out.data(), out.size() - x.avail_out)) return false;
            if (finish ? r == LZMA_STREAM_END : (x.avail_in == 0 && x.avail_out != 0)) return true;
        }
    }

    bool Zstd(const uint8_t *p, size_t n, bool finish)
    {
        ZSTD_inBuffer in{p, n, 0};
        for (;;) {
            ZSTD_outBuffer o{out.data(), out.size(), 0};
            const size_t r = ZSTD_compressStream2(zs, &o, &in, finish ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(r)) return Fail(std::string("zstd compression failed: ") + ZSTD_getErrorName(r));
            if (!Put(out.data(), o.pos)) return false;
            if (finish ? r == 0 : in.pos == in.size) return true;
        }
    }

    bool Code(const uint8_t *p, size_t n, bool finish)
    {
        if (failed) return false;
        switch (format) {
        case Format::Plain: return finish || Put(p, n);
        case Format::Gzip: return Gzip(p, n, finish);
        case Format::Xz: return Xz(p, n, finish);
        case Format::Zstd: return Zstd(p, n, finish);
        case Format::Bzip2: return Fail("bzip2 is read, not written");
        }
        return false;
    }
};

Writer::Writer(int fd, Format f, uint64_t expectedBytes) : d_(std::make_unique<Impl>())
{
    d_->fd = fd;
    d_->format = f;
    switch (f) {
    case Format::Plain: break;
    case Format::Gzip:
        if (deflateInit2(&d_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            d_->Fail("out of memory");
        else
            d_->zInit = true;
        break;
    case Format::Xz: {
        lzma_mt mt = {};
        mt.threads = std::max(1u, std::min(lzma_cputhreads(), 4u));
        mt.preset = LZMA_PRESET_DEFAULT;
        mt.check = LZMA_CHECK_CRC64;
        if (lzma_stream_encoder_mt(&d_->x, &mt) != LZMA_OK)
            d_->Fail("out of memory");
        else
            d_->xInit = true;
        break;
    }
    case Format::Zstd:
        d_->zs = ZSTD_createCCtx();
        if (!d_->zs) {
            d_->Fail("out of memory");
            break;
        }
        ZSTD_CCtx_setParameter(d_->zs, ZSTD_c_checksumFlag, 1);
        if (expectedBytes != 0) ZSTD_CCtx_setPledgedSrcSize(d_->zs, expectedBytes);
        break;
    case Format::Bzip2: d_->Fail("bzip2 is read, not written"); break;
    }
}

Writer::~Writer() = default;
bool Writer::Write(const uint8_t *p, size_t n) { return d_->Code(p, n, false); }
bool Writer::Finish() { return d_->Code(nullptr, 0, true); }
const std::string &Writer::Error() const { return d_->error; }
int Writer::Errno() const { return d_->err; }

}  // namespace imagefile
