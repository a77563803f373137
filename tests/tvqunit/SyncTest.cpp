// What tvqunit reports done lasts a power cut: every file is on disk before
// it gets the name a reader looks for, and the folder holding that name is
// flushed after, before the command ends. Seen through a recorder preloaded
// into tvqunit that notes every flush and every naming call with its inode.
#include "RunTvqunit.h"
#include "VirtualBus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace tvqtest;
namespace fs = std::filesystem;

namespace {

struct Event {
    std::string kind;    // "sync", "name" (rename or link) or "mkdir"
    std::string inode;   // dev:ino
    std::string folder;  // name, mkdir: dev:ino of the folder the name is in
    std::string rest;    // sync: ok / failed; otherwise the new name
};

// Runs tvqunit with the recorder; the events it noted, in order.
std::vector<Event> Recorded(VirtualBus &bus, const std::vector<std::string> &args, Result *r)
{
    std::string log = bus.ScratchDir() + "/sync.log";
    fs::remove(log);
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string env = "TVQ_SYNC_LOG=" + Quote(log) + " LD_PRELOAD=" + Quote(SYNC_RECORDER_PATH) +
                      " ASAN_OPTIONS=" + Quote(std::string(asan ? asan : "") + ":verify_asan_link_order=0") + " ";
    std::string out = bus.ScratchDir() + "/out", err = bus.ScratchDir() + "/err";
    int st = std::system(("timeout 20 env " + env + Command(bus.Dir(), args) + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
    r->rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r->out = Slurp(out);
    r->err = Slurp(err);
    std::vector<Event> events;
    std::istringstream in(Slurp(log));
    std::string line;
    while (std::getline(in, line)) {
        Event e;
        std::istringstream ls(line);
        ls >> e.kind >> e.inode;
        if (e.kind != "sync") ls >> e.folder;
        std::getline(ls >> std::ws, e.rest);
        events.push_back(e);
    }
    return events;
}

bool Hidden(const std::string &path)
{
    return fs::path(path).filename().string()[0] == '.';
}

// Every name a reader looks for was given to flushed data, and its folder flushed after.
// Returns how many such names there were.
int CheckDurable(const std::vector<Event> &ev, const std::string &what)
{
    int named = 0;
    for (size_t i = 0; i < ev.size(); ++i) {
        const Event &e = ev[i];
        if (e.kind == "sync" || Hidden(e.rest)) continue;
        ++named;
        if (e.kind == "name") {
            bool flushed = false;
            for (size_t j = 0; j < i; ++j) flushed |= ev[j].kind == "sync" && ev[j].inode == e.inode && ev[j].rest == "ok";
            EXPECT_TRUE(flushed) << what << ": '" << e.rest << "' was named before its data was flushed";
        }
        bool after = false;
        for (size_t j = i + 1; j < ev.size(); ++j) after |= ev[j].kind == "sync" && ev[j].inode == e.folder && ev[j].rest == "ok";
        EXPECT_TRUE(after) << what << ": the folder of '" << e.rest << "' was not flushed after it got that name";
    }
    return named;
}

}  // namespace

TEST(TvqunitSync, EveryChangeIsOnDiskBeforeTheCommandEnds)
{
    VirtualBus bus;
    std::vector<uint8_t> bytes(2 << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    std::string src = bus.WriteFile("src.img", bytes);
    const std::vector<std::vector<std::string>> commands = {
        {"create", "u"},
        {"insert", "u", "1", "--size", "1M"},
        {"insert", "u", "2", "--image", src},
        {"pull", "u", "1"},
        {"fault", "set", "u", "op=read", "count=next:1"},
        {"set", "u", "--sync", "always", "--product-code", "9"},
        {"unplug", "u"},
        {"plug", "u"},
        {"fault", "clear", "u", "--all"},
        {"throttle", "u", "--usb2"},
        {"params", "u", "2", "--heads", "2"},
        {"eject", "u", "2"},
        {"create", "v", "--unplugged"},
    };
    for (const auto &args : commands) {
        std::string what;
        for (const auto &a : args) what += a + " ";
        Result r;
        std::vector<Event> ev = Recorded(bus, args, &r);
        ASSERT_EQ(r.rc, 0) << what << r.err;
        EXPECT_GT(CheckDurable(ev, what), 0) << what << ": nothing was recorded";
        if (args[0] == "insert" && args[3] == "--image") {
            // The copy itself: flushed, then named, then its folder flushed.
            std::string image = bus.Dir() + "/u/cards/slot2-1.img";
            auto it = std::find_if(ev.begin(), ev.end(), [&](const Event &e) { return e.kind == "name" && e.rest == image; });
            EXPECT_NE(it, ev.end()) << "the copy never got its name through a rename or link";
            EXPECT_EQ(VirtualBus::ReadFile(image), bytes);
        }
    }
}
