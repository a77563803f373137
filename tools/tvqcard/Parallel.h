// Whole-card work on several cards at once. The image is read once, by one
// thread, and each piece of it is handed to every card's own worker through
// that card's bounded queue: a slow card holds the reader back only once its
// queue is full, and the faster cards run on up to theirs. A card that fails,
// is taken out or changed stops its own worker only; the reader passes it by
// from then on. Each worker makes its own device-layer calls (the library
// takes them one at a time). On a terminal, one progress line per card.
#pragma once

#include "Compress.h"
#include "Transfer.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct CardWork {
    Target target;
    uint64_t room = 0;  // bytes from the start sector to the card's end (write, compare); bytes to hash (hash)
};

// How far one card's work has got; written by its worker, read by anyone.
struct CardProgress {
    enum Phase { Waiting, Writing, Verifying, Hashing, Comparing, Finished };
    std::atomic<int> phase{Waiting};
    std::atomic<uint64_t> done{0};
    std::atomic<uint64_t> total{0};  // of the phase: the write's bytes, then the read-back's
    std::atomic<int> result{-1};     // Outcome::Kind once finished
};

// Writes the image onto every card from sector start and, with verify, reads
// each card back against it. One outcome per card, in order. *imageBytes is
// the image's length once it was read to its end (0 when it was not), and
// *imageSha its SHA-256 when hash is set and it was read whole. progress,
// when given, holds one entry per card for a caller that shows its own lines.
std::vector<Outcome> WriteCards(const std::vector<CardWork> &cards, uint32_t start, imagefile::Reader &src,
                                const std::string &name, bool verify, bool hash, unsigned retries,
                                uint64_t *imageBytes, std::string *imageSha,
                                std::vector<CardProgress> *progress = nullptr);

// SHA-256 of each card's `room` bytes from sector start, all at once.
std::vector<Outcome> HashCards(const std::vector<CardWork> &cards, uint32_t start, unsigned retries);

// Each card against the image from sector start, all at once, each up to its
// first difference ((*first)[i], when its outcome counts one) or its end. A
// card that ends before the image fails. *sourceError says why the image
// could not be read to its end ("" when it could, or was not needed).
std::vector<Outcome> CompareCards(const std::vector<CardWork> &cards, uint32_t start, imagefile::Reader &src,
                                  const std::string &name, unsigned retries, std::vector<Difference> *first,
                                  std::string *sourceError);
