// Card images as files: plain, or compressed with gzip, xz, zstd or bzip2.
//
// Reader: the format is recognised by the file's first bytes, never by its
// name, and Read gives the image's own bytes. A stream that is corrupt,
// truncated, or followed by anything but another stream of its kind is an
// error, never a short image. Concatenated streams (gzip members, xz streams,
// zstd frames, bzip2 streams) are one image, as their own tools read them.
//
// Length, known before the first byte where the file says it:
//   plain  the file's size (a regular file);
//   zstd   the content sizes of all frames, when every frame states one;
//   xz     the uncompressed size in the index of every stream;
//   gzip   ISIZE of the last member, only as a lower bound and only when the
//          file is too small for the 32-bit ISIZE to have wrapped (deflate
//          expands at most 1032 times), since other members may come first;
//   bzip2  never.
// The length a format states is also held against the data: a stream that
// gives more or fewer bytes than it stated is an error.
//
// Writer: the format follows the output name (.gz, .xz, .zst; anything else
// is written plain). A zstd frame records the image's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

namespace imagefile {

enum class Format { Plain, Gzip, Xz, Zstd, Bzip2 };

// "plain", "gzip", "xz", "zstd", "bzip2".
const char *FormatName(Format f);
// The format a file of this name is written in.
Format FormatOfName(const std::string &path);
// The format of a file that begins with these bytes (Plain when none matches).
Format FormatOfMagic(const uint8_t *p, size_t n);

struct Length {
    enum Kind { Unknown, Exact, AtLeast } kind = Unknown;
    uint64_t bytes = 0;
};

class Reader {
public:
    // Reads the image in fd, which the reader owns from here on. Null, with
    // *error set, when the file cannot be read.
    static std::unique_ptr<Reader> Open(int fd, std::string *error);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    Format format() const;
    const Length &length() const;
    // Up to n bytes of the image (fewer only at its end); 0 at the end; -1 on
    // an error, with Error() saying why.
    ssize_t Read(uint8_t *p, size_t n);
    // Exactly n bytes; false at an error or when the image ends sooner.
    bool ReadExactly(uint8_t *p, size_t n);
    // Back to the image's first byte, to read it again.
    bool Rewind();
    const std::string &Error() const;

    struct Impl;

private:
    explicit Reader(std::unique_ptr<Impl> d);
    std::unique_ptr<Impl> d_;
};

class Writer {
public:
    // Writes into fd (not owned) in format f; expectedBytes, when not 0, is
    // the image's length, recorded where the format can hold it.
    Writer(int fd, Format f, uint64_t expectedBytes);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    bool Write(const uint8_t *p, size_t n);
    // Ends the stream; nothing is complete before this returned true.
    bool Finish();
    // Why Write or Finish failed; errno's value for a failed write of the file, else 0.
    const std::string &Error() const;
    int Errno() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

}  // namespace imagefile
