// tvqcard never harms a card it was not asked to write, and never takes a
// failing card for a good one: a file that is a card's own medium is refused
// before it is opened for writing; a run ends, naming the cause, when its
// card is taken out or changed or the unit unplugged; only medium errors are
// tried again; Ctrl+C while a sector is tried again stops the run with the
// real count of tries; a VD failure names the card behind it.
#include "CardFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <signal.h>
#include <thread>
#include <unistd.h>

using namespace tvqtest;

namespace {

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(TvqcardSafety, AFileThatIsACardsMediumIsNeverWritten)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto one = Pattern(2 * kMiB, 21), two = Pattern(2 * kMiB, 22);
    const std::string img1 = f.bus.InsertImage("u", 1, f.File("one.img", one));
    const std::string img2 = f.bus.InsertImage("u", 2, f.File("two.img", two));
    f.bus.InsertBlank("u", 3, 2 * kMiB);
    const std::string link = f.Path("link.img");
    ASSERT_EQ(::symlink(img1.c_str(), link.c_str()), 0);
    const std::string hard = f.Path("hard.img");
    ASSERT_EQ(::link(img1.c_str(), hard.c_str()), 0);

    // The card's own image under its name, a symbolic link and a hard link; another card's image.
    for (const std::string &file : {img1, link, hard, img2}) {
        std::vector<std::string> args{"read", "1", file};
        Result r = f.Run(args);
        EXPECT_RUN(r, 2, args);
        const int slot = file == img2 ? 2 : 1;
        EXPECT_NE(r.err.find(file + " is where the card in slot " + std::to_string(slot) + " of unit 'u' keeps its data"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(Whole(img1), one) << file;
        EXPECT_EQ(Whole(img2), two) << file;
    }
    // Standard output opened onto the card's image for appending (the shell empties nothing): refused too.
    {
        ToolRun t(f.bus.ScratchDir());
        t.StdoutTo(img1, true);
        ASSERT_TRUE(t.Start({"read", "1", "-", "--count", "1"}));
        Result r = t.Wait();
        EXPECT_EQ(r.rc, 2) << r.err;
        EXPECT_NE(r.err.find("keeps its data"), std::string::npos) << r.err;
        EXPECT_EQ(Whole(img1), one);
    }

    // A write from a card's image onto that card (or the VD, which reaches it) is refused;
    // onto another card it is a plain copy, and a compare only reads.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"write", img1, "1"}, {"write", link, "3", "1"}, {"write", hard, "vd"}, {"write", img1, "all"}}) {
        Result r = f.Run(args);
        EXPECT_RUN(r, 2, args);
        EXPECT_NE(r.err.find("is where the card in slot1 keeps its data, and this write would overwrite it"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(Whole(img1), one);
        EXPECT_EQ(Whole(f.bus.CardImage("u", 3)), std::vector<uint8_t>(2 * kMiB, 0)) << "nothing written anywhere";
    }
    std::vector<std::string> args{"write", link, "3", "--verify"};
    EXPECT_RUN(f.Run(args), 0, args);
    EXPECT_EQ(Whole(f.bus.CardImage("u", 3)), one);
    args = {"compare", "1", img1};
    EXPECT_RUN(f.Run(args), 0, args);
    EXPECT_EQ(Whole(img1), one);
}

// A card swapped, pulled or unplugged during a throttled run: the run stops at once and says why.
TEST(TvqcardSafety, ARunEndsWhenItsCardIsTakenOutChangedOrTheUnitUnplugged)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(16 * kMiB, 23);
    const std::string src = f.File("src.img", data);
    f.bus.InsertBlank("u", 2, 16 * kMiB);
    f.bus.Throttle("u", 8 * kMiB);  // 2 s a card

    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::function<void()> act;
        std::string cause;
    };
    std::string fresh;
    const std::vector<Case> cases = {
        {"pulled during a read", {"--retries", "20", "hash", "2"}, [&] { f.bus.Pull("u", 2); },
         "the card was taken out (02/3A/00)"},
        {"swapped during a write",
         {"--retries", "20", "write", src, "2"},
         [&] {
             f.bus.Pull("u", 2);
             fresh = f.bus.InsertBlank("u", 2, 16 * kMiB);
         },
         "the card was"},
        {"unplugged during a read", {"--retries", "20", "read", "2", f.Path("out.img")}, [&] { f.bus.Unplug("u"); },
         "the unit was unplugged"},
    };
    for (const Case &c : cases) {
        if (!f.bus.Bus().HasCard("u", 2)) f.bus.InsertBlank("u", 2, 16 * kMiB);
        f.bus.Plug("u");
        fresh.clear();
        ToolRun t(f.bus.ScratchDir());
        ASSERT_TRUE(t.Start(c.args));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        c.act();
        Result r = t.Wait(20);
        EXPECT_EQ(r.rc, 2) << c.what << "\n" << r.err;
        EXPECT_NE(r.err.find(c.cause), std::string::npos) << c.what << "\n" << r.err;
        EXPECT_EQ(r.err.find("trying again"), std::string::npos) << c.what << ": not tried again\n" << r.err;
        if (!fresh.empty())
            EXPECT_EQ(Whole(fresh), std::vector<uint8_t>(16 * kMiB, 0)) << c.what << ": the new card was written";
    }

    // Through the VD, whose call goes on to the cards still there: the run names the card that left,
    // and a read stops when the VD comes to show another card.
    f.bus.Plug("u");
    if (!f.bus.Bus().HasCard("u", 2)) f.bus.InsertBlank("u", 2, 16 * kMiB);
    f.bus.InsertBlank("u", 3, 16 * kMiB);
    struct VdCase {
        std::vector<std::string> args;
        std::function<void()> act;
        std::string text;
        std::function<void()> before = [] {};
    };
    const std::vector<VdCase> vd = {
        {{"write", src, "vd"}, [&] { f.bus.Pull("u", 3); }, "the card was taken out (02/3A/00), on the card in slot3"},
        {{"hash", "vd"}, [&] { f.bus.InsertBlank("u", 1, 16 * kMiB); }, "the card was changed (06/28/00)"},
        // A plain read copies on one thread, a hash on two: both watch the VD.
        {{"read", "vd", f.Path("vd.img")}, [&] { f.bus.InsertBlank("u", 1, 16 * kMiB); },
         "the card was changed (06/28/00)", [&] { f.bus.Pull("u", 1); }},
    };
    for (const VdCase &c : vd) {
        c.before();
        ToolRun t(f.bus.ScratchDir());
        ASSERT_TRUE(t.Start(c.args));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        c.act();
        Result r = t.Wait(20);
        EXPECT_EQ(r.rc, 2) << All(c.args) << "\n" << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << All(c.args) << "\n" << r.err;
    }
}

// Each cause the library reports is named; only a medium error is tried again.
TEST(TvqcardSafety, OnlyMediumErrorsAreTriedAgainAndEveryFailureSaysWhy)
{
    Fixture f;
    f.bus.AddUnit("u");
    f.bus.InsertBlank("u", 1, 2 * kMiB);
    const std::string src = f.File("src.img", Pattern(2 * kMiB, 24));
    struct Case {
        const char *effect;
        const char *sense;
        const char *op;
        std::string text;
        uint64_t fires;  // with --retries 2
    };
    const std::vector<Case> cases = {
        {"changed", "06/28/00", "read", "reading the card in slot1 failed at sector 2048: the card was changed (06/28/00)", 1},
        {"nomedium", "02/3A/00", "read", "the card was taken out (02/3A/00)", 1},
        {"sense:05/25/00", "05/25/00", "read", "the unit was unplugged (05/25/00)", 1},
        {"sense:02/04/01", "02/04/01", "read", "the unit was unplugged and plugged in again (02/04/01)", 1},
        {"sense:02/04/00", "02/04/00", "read", "the card is not ready (02/04/00)", 1},
        {"sense:02/04/80", "02/04/80", "write", "in use elsewhere: mounted, used as swap or by the system (02/04/80)", 1},
        {"sense:02/04/81", "02/04/81", "write", "another program holds the card's device exclusively (02/04/81)", 1},
        {"sense:02/04/82", "02/04/82", "read", "permission denied; use it from a desktop session with udisks2 installed", 1},
        {"sense:07/27/00", "07/27/00", "write",
         "writing the card in slot1 failed at sector 2048: the card is write-protected (07/27/00)", 1},
        {"sense:03/11/00", "03/11/00", "read",
         "reading the card in slot1 failed at sector 2100 (after 3 tries): medium error: unrecovered read error (03/11/00)", 4},
        {"sense:03/0C/00", "03/0C/00", "write", "failed at sector 2100 (after 3 tries): medium error: write error (03/0C/00)",
         4},
        {"sense:04/44/00", "04/44/00", "read", "the unit failed (04/44/00)", 1},
    };
    for (const Case &c : cases) {
        f.bus.ClearFaults("u");
        const uint32_t id = f.bus.SetFault("u", std::string("slot=1 lba=2100 op=") + c.op + " effect=" + c.effect);
        const std::vector<std::string> args = std::string(c.op) == "read"
                                                  ? std::vector<std::string>{"--retries", "2", "hash", "1", "--json"}
                                                  : std::vector<std::string>{"--retries", "2", "write", src, "1", "--json"};
        Result r = f.Run(args);
        EXPECT_RUN(r, 2, args);
        EXPECT_NE(r.err.find(c.text), std::string::npos) << c.effect << "\n" << r.err;
        EXPECT_EQ(f.bus.FireCount("u", id), c.fires) << c.effect << "\n" << r.err;
        EXPECT_NE(r.out.find("\"sense\": \"" + std::string(c.sense) + "\""), std::string::npos)
            << c.effect << "\n" << r.out;
    }
}

TEST(TvqcardSafety, CtrlCWhileASectorIsTriedAgainStopsWithTheRealCountOfTries)
{
    Fixture f;
    f.bus.AddUnit("u");
    f.bus.InsertBlank("u", 1, kMiB);
    const uint32_t id = f.bus.SetFault("u", "slot=1 op=read lba=700 effect=readerror");
    ToolRun t(f.bus.ScratchDir());
    ASSERT_TRUE(t.Start({"--retries", "1000", "read", "1", f.Path("out.img")}));
    for (int i = 0; i < 100 && Count(t.ErrSoFar(), "trying again") < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(::kill(t.Pid(), SIGINT), 0);
    Result r = t.Wait(20);
    EXPECT_EQ(r.rc, 130) << r.err;
    unsigned tries = 0;
    const auto at = r.err.find("failed at sector 700 (after ");
    ASSERT_NE(at, std::string::npos) << r.err;
    ASSERT_EQ(std::sscanf(r.err.c_str() + at, "failed at sector 700 (after %u tries)", &tries), 1) << r.err;
    // The block of 640-767 failed once as a whole; every other call was sector 700 alone.
    EXPECT_EQ(tries, f.bus.FireCount("u", id) - 1) << r.err;
    // Each try but the last one announced the next (the signal may come while waiting for it).
    EXPECT_GE(tries, Count(r.err, "trying again")) << r.err;
    EXPECT_LE(tries, Count(r.err, "trying again") + 1) << r.err;
    EXPECT_LT(tries, 100u);
    EXPECT_NE(r.err.find("interrupted: 700 of 2048 sectors done"), std::string::npos) << r.err;
    EXPECT_EQ(Whole(f.Path("out.img")).size(), 700u * 512);
}

TEST(TvqcardSafety, AVdFailureNamesTheCardBehindIt)
{
    Fixture f;
    f.bus.AddUnit("u");
    for (int s = 1; s <= 4; ++s) f.bus.InsertBlank("u", s, kMiB);
    const std::string src = f.File("src.img", Pattern(kMiB, 25));
    f.bus.SetFault("u", "slot=3 op=write lba=500 effect=writeerror");
    std::vector<std::string> args{"--retries", "1", "write", src, "vd", "--json"};
    Result r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("writing the card in vd failed at sector 500 (after 2 tries): medium error: write error "
                         "(03/0C/00), on the card in slot3"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("\"failedCard\": \"slot3\""), std::string::npos) << r.out;
    f.bus.ClearFaults("u");

    // A read comes from the card the VD mirrors (slot 1 here): its failure is put down to it.
    f.bus.SetFault("u", "slot=1 op=read lba=20 effect=sense:07/27/00");
    args = {"hash", "vd"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("reading the card in vd failed at sector 0: the card is write-protected (07/27/00), on the "
                         "card in slot1"),
              std::string::npos)
        << r.err;
}

// A card the library cannot reach (no permission on its device) is not "no card": the cause is shown.
TEST(TvqcardSafety, ACardThatCannotBeReachedSaysWhyInsteadOfNoCard)
{
    Fixture f;
    f.bus.AddUnit("u");
    f.bus.InsertBlank("u", 1, kMiB);
    f.bus.InsertBlank("u", 2, kMiB);
    f.bus.SetFault("u", "slot=2 op=driveinfo effect=sense:02/04/82");
    const std::string denied = "permission denied; use it from a desktop session with udisks2 installed";
    Result r = f.Run({"list"});
    EXPECT_EQ(r.rc, 0) << r.err;
    const size_t row = r.out.find("\n2     ?");
    ASSERT_NE(row, std::string::npos) << r.out;
    EXPECT_NE(r.out.substr(row, r.out.find('\n', row + 1) - row).find(denied), std::string::npos) << r.out;
    r = f.Run({"list", "--json"});
    EXPECT_NE(r.out.find("\"card\": null"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"sense\": \"02/04/82\""), std::string::npos) << r.out;
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"read", "2", f.Path("out.img")}, {"hash", "all"}}) {
        r = f.Run(args);
        EXPECT_RUN(r, 2, args);
        EXPECT_NE(r.err.find("cannot use the card in slot2: " + denied), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("no card"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::ifstream(f.Path("out.img")).good());
}

}  // namespace
