#include "CardMedia.h"
#include "Commands.h"
#include "Messages.h"
#include "Sense.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using json = nlohmann::json;

Common common;

void Note(const std::string &text)
{
    if (!common.quiet) std::fprintf(stderr, "%s\n", text.c_str());
}

void Complain(const std::string &text)
{
    std::fprintf(stderr, "tvqcard: %s\n", text.c_str());
}

int StatusOf(const Outcome &o)
{
    switch (o.kind) {
    case Outcome::Done: return 0;
    case Outcome::Differs: return 1;
    case Outcome::Stopped: return 128 + (StopSignal.load() != 0 ? StopSignal.load() : 2);
    case Outcome::Failed: return 2;
    }
    return 2;
}

const char *KindName(Outcome::Kind k)
{
    switch (k) {
    case Outcome::Done: return "done";
    case Outcome::Differs: return "different";
    case Outcome::Stopped: return "stopped";
    case Outcome::Failed: return "failed";
    }
    return "failed";
}

void MarkStopped(Outcome &o)
{
    if (StopSignal.load() != 0 && o.kind != Outcome::Failed) o.kind = Outcome::Stopped;
}

std::string StoppedText(const Outcome &o, uint64_t totalBytes, const std::string &where, uint32_t start)
{
    const uint64_t done = o.bytes / kSector;
    const uint64_t last = done > 0 ? start + done - 1 : start;
    std::string text;
    if (done == 0)
        text = Say(Msg::Interrupted, {"0", std::to_string((totalBytes + kSector - 1) / kSector), where, "-", "-"});
    else
        text = Say(Msg::Interrupted, {std::to_string(done), std::to_string((totalBytes + kSector - 1) / kSector), where,
                                      std::to_string(start), std::to_string(last)});
    if (!o.message.empty()) text += "\ntvqcard: " + o.message;
    return text;
}

json OutcomeJson(const std::string &command, const Outcome &o)
{
    json j;
    j["command"] = command;
    j["result"] = KindName(o.kind);
    j["bytes"] = o.bytes;
    j["seconds"] = o.seconds;
    if (!o.sha256.empty()) j["sha256"] = o.sha256;
    if (!o.message.empty()) j["message"] = o.message;
    if (o.cardFailed) {
        j["failedSector"] = o.failedSector;
        j["tries"] = o.tries;
        j["sense"] = SenseText(o.code).empty() ? json(nullptr) : json(SenseText(o.code));
        j["cause"] = Cause(o.code);
        if (!o.card.empty()) j["failedCard"] = o.card;
    }
    return j;
}

void CheckRange(Session &s, uint32_t slot, const SlotRecord &r, uint32_t start, const std::string &countText,
                uint64_t *count)
{
    if (start > uint64_t(r.TotalSectors) - 1 || r.TotalSectors == 0)
        throw ToolError(Say(Msg::StartBeyond, {std::to_string(start), s.Name(slot), std::to_string(r.TotalSectors)}));
    if (countText.empty()) {
        *count = uint64_t(r.TotalSectors) - start;
        return;
    }
    *count = ParseSector(countText, "--count");
    if (*count == 0) throw ToolError(Say(Msg::CountZero));
    if (start + *count > r.TotalSectors)
        throw ToolError(Say(Msg::RangeBeyond, {std::to_string(start), std::to_string(start + *count - 1), s.Name(slot),
                                               std::to_string(r.TotalSectors)}));
}

int OpenSource(const std::string &path, uint64_t *size)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) throw ToolError(Say(Msg::FileMissing, {path}));
        throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    }
    if (!S_ISREG(st.st_mode)) throw ToolError(Say(Msg::FileNotRegular, {path}));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        throw ToolError(Say(Msg::FileOpen, {path, std::strerror(e)}));
    }
    *size = static_cast<uint64_t>(st.st_size);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

std::unique_ptr<imagefile::Reader> OpenImage(const std::string &path, int *fd)
{
    uint64_t size = 0;
    const int raw = OpenSource(path, &size);
    std::string why;
    std::unique_ptr<imagefile::Reader> image = imagefile::Reader::Open(raw, &why);
    if (!image) throw ToolError(Say(Msg::FileRead, {path, why}));
    if (fd) *fd = raw;
    return image;
}

Options TransferOptions(bool hash)
{
    Options o;
    o.retries = common.retries;
    o.hash = hash;
    return o;
}

void RefuseCardMedium(const std::string &file, const struct stat &st)
{
    const std::vector<MediumUse> cards = CardsUnder(st);
    if (!cards.empty())
        throw ToolError(Say(Msg::MediumIsCard, {file, std::to_string(cards.front().slot), cards.front().unit}));
}

std::string EndRun(Session &s, Outcome &o)
{
    const std::string why = s.Release();
    if (why.empty()) return why;
    if (o.kind == Outcome::Failed) {
        o.message += "; " + why;
        return why;
    }
    o.kind = Outcome::Failed;
    o.message = why;
    return why;
}
