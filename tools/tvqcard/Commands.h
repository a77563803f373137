// The commands of tvqcard, one function each, and what they share: the
// options every command takes, the exit status of an outcome, its JSON form,
// the range checks, and the checks that keep a run's file off the cards'
// own media. Each command returns its exit status or throws ToolError.
#pragma once

#include "Session.h"
#include "Transfer.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

struct Common {
    unsigned retries = 3;
    bool json = false;
    bool quiet = false;
    std::string bus;
};
extern Common common;

constexpr uint64_t kSector = 512;

struct ReadArgs {
    std::string slot, file, start, count;
    bool sha = false;
};
struct WriteArgs {
    std::string file, start;
    std::vector<std::string> slots;
    bool verify = false, sha = false;
};
struct CompareArgs {
    std::vector<std::string> slots;
    std::string file, start;
    uint64_t maxDiffs = 100;
    bool maxDiffsGiven = false;
};
struct HashArgs {
    std::vector<std::string> slots;
    std::string start, count, check;
};

struct DuplicateArgs {
    std::string file, log;
    std::vector<std::string> slots;
    bool verify = false, eject = false;
    uint64_t count = 0;
};

int List();
int Duplicate(const DuplicateArgs &a);
int Read(const ReadArgs &a);
int Write(const WriteArgs &a);
int Compare(const CompareArgs &a);
int Hash(const HashArgs &a);
int Eject(const std::string &word);
int Format(const std::string &word, bool yes);

// Several slots without the VD: every card at once (ManyCards.cpp); the VD is one transfer the unit duplicates.
bool Parallel(const std::vector<uint32_t> &slots);
int WriteMany(Session &s, const std::vector<uint32_t> &slots, const std::vector<uint64_t> &room, uint32_t start,
              imagefile::Reader &image, const WriteArgs &a);
int HashMany(Session &s, const std::vector<uint32_t> &slots, const std::vector<uint64_t> &counts, uint32_t start,
             const std::vector<std::string> &words, const std::vector<std::string> &sums);
int CompareMany(Session &s, const std::vector<uint32_t> &slots, const std::vector<uint64_t> &room, uint32_t start,
                imagefile::Reader &image, const CompareArgs &a);
// One card's hash reported: start and sectors into its JSON row; without
// --json its line on stdout (sha256sum's, or OK / FAILED against the sum
// wanted); why it failed or stopped on stderr. True when the card's sum is
// not the one wanted.
bool ReportHash(nlohmann::json &row, const Outcome &o, const std::string &where, uint32_t start, uint64_t sectors,
                const std::string *want, const std::string &word);

// ---- shared by the commands ----

// A note on stderr unless --quiet.
void Note(const std::string &text);
// "tvqcard: text" on stderr.
void Complain(const std::string &text);
int StatusOf(const Outcome &o);
const char *KindName(Outcome::Kind k);
// A run that a signal asked to stop is never a success, even if its last block was done.
void MarkStopped(Outcome &o);
std::string StoppedText(const Outcome &o, uint64_t totalBytes, const std::string &where, uint32_t start);
nlohmann::json OutcomeJson(const std::string &command, const Outcome &o);
// The range [start, start+count) checked against the card as the parameters dialog does.
void CheckRange(Session &s, uint32_t slot, const SlotRecord &r, uint32_t start, const std::string &countText,
                uint64_t *count);
// An existing regular file opened for reading, with its size.
int OpenSource(const std::string &path, uint64_t *size);
// The image in an existing regular file, plain or compressed; *fd, when asked
// for, is its descriptor, open as long as the reader is.
std::unique_ptr<imagefile::Reader> OpenImage(const std::string &path, int *fd = nullptr);
Options TransferOptions(bool hash);
// Refuses (ToolError) when writing the file of st would write onto a card of the bus.
void RefuseCardMedium(const std::string &file, const struct stat &st);
// The run's end: the unit released and its result checked; a failure to
// release makes a run that had not failed a failed one. Returns why the
// release failed, "" when it did not.
std::string EndRun(Session &s, Outcome &o);
