// Whole-card transfers: the device thread makes the library's calls (Block.h
// chooses their size) while a worker thread reads or writes the file and
// hashes, so file I/O and hashing overlap the device calls. A stop signal (Ctrl+C) ends a run
// after the block in progress; a medium error is narrowed down to its sector
// and tried again up to the retry count (Block.h), then the run stops at that
// sector, with every sector before it done. Any other failure of the card or
// unit ends the run at once.
#pragma once

#include "Compress.h"

#include "Block.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

void InstallStopHandlers();

struct Outcome {
    enum Kind { Done, Differs, Stopped, Failed } kind = Done;
    uint64_t bytes = 0;        // bytes moved (or compared) completely
    std::string message;       // why it failed or stopped
    std::string sha256;        // when hashing was asked for
    double seconds = 0;
    uint64_t differences = 0;  // compare
    // A failing card: the sector, the library's result, the calls made on it, the card behind the VD.
    bool cardFailed = false;
    uint32_t failedSector = 0;
    int32_t code = 0;
    unsigned tries = 0;
    std::string card;
};

// Seconds from t0 until now, for a run's outcome.
double SecondsSince(std::chrono::steady_clock::time_point t0);
// A failed block into a run's outcome; its good sectors are counted by the caller.
void RecordFailure(Op op, const Target &t, const BlockResult &r, Outcome *out);

struct Options {
    unsigned retries = 3;
    bool hash = false;
};

// Card sectors [start, start+count) into fd (name for messages), compressed in format.
Outcome ReadToFile(const Target &t, uint32_t start, uint64_t count, int fd, const std::string &name,
                   const Options &o, imagefile::Format format = imagefile::Format::Plain);
// SHA-256 of card sectors [start, start+count).
Outcome HashCard(const Target &t, uint32_t start, uint64_t count, const Options &o);
// The first `bytes` bytes of the image onto the card from sector start; a
// final partial sector is merged into the card's sector. An image of unknown
// length may end sooner; one that goes on past `bytes` (the room on the card)
// fails the run there, with nothing past it written.
Outcome WriteFromFile(const Target &t, uint32_t start, imagefile::Reader &src, uint64_t bytes,
                      const std::string &name, const Options &o);

// One differing byte found by a compare.
struct Difference {
    size_t target;     // index into the targets compared
    uint64_t address;  // byte offset on the card
    uint32_t sector;
    uint8_t card, file;
};
// The first `bytes` bytes of the image against each target's card from
// sector start (an image of unknown length may end sooner; what it holds past
// `bytes` is counted into *pastEnd). onDiff sees each difference; returning
// false stops the compare there.
Outcome CompareWithFile(const std::vector<Target> &targets, uint32_t start, imagefile::Reader &src, uint64_t bytes,
                        const std::string &name, const Options &o,
                        const std::function<bool(const Difference &)> &onDiff, uint64_t *pastEnd = nullptr);

// Label of the progress bar of the next run.
void SetProgressLabel(const std::string &label);
