// tvqcard: whole cards of a TVQ-206 / TVQ-210CF unit from the shell: list,
// read, write (one slot, several, or the VD), verify, compare, hash, eject
// and format, through the same device layer as the desktop program.
//
// Exit status: 0 done (compare: equal), 1 differences (compare, write
// --verify, hash --check), 2 trouble (bad input, no unit, a failing card or
// file, a slot in use), 130 stopped by Ctrl+C (128 + the signal).
#include "Commands.h"
#include "Messages.h"
#include "Output.h"
#include "Progress.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>

#ifndef TVQ_VERSION
#define TVQ_VERSION "1.0.0"
#endif

using json = nlohmann::json;

namespace {

const char *kSlots =
    "SLOT is a slot as the unit labels it: 1 to 10 on a TVQ-210CF (1 is the master slot), M and 1 to 5 "
    "on a TVQ-206; \"master\" names the master slot on both, \"vd\" the VD (reads come from the card it "
    "mirrors, writes go to every card at once) and \"all\" every slot holding a card.";

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app("Reads, writes, verifies, compares and hashes whole cards in a TVQ-206 or TVQ-210CF "
                 "PC card multi-station unit, for scripts and batch work.",
                 "tvqcard");
    app.set_version_flag("--version", std::string("tvqcard ") + TVQ_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--retries", common.retries,
                   "tries a sector that fails with a medium error N more times before the run stops at it; "
                   "other failures (card taken out or changed, unit unplugged, write-protected) stop it at once")
        ->check(CLI::Range(0u, 1000u))
        ->capture_default_str()
        ->type_name("N");
    app.add_flag("--json", common.json, "prints a machine-readable summary on stdout: one object per command, "
                                        "on a refusal too");
    app.add_flag("-q,--quiet", common.quiet, "no progress bar and no summary on stderr; errors still show");
    app.add_option("--bus", common.bus, "the virtual bus directory (default: $QEVCRDIO_BUS)")->type_name("DIR");
    app.footer(std::string(kSlots) +
               "\n\nSectors are 512 bytes. LBA and N are decimal or hexadecimal with 0x, and must lie inside the "
               "card. A progress bar with bytes, rate and time left is drawn on stderr when it is a terminal. "
               "Ctrl+C stops a run after the block in progress and reports how far it got.\n\n"
               "Exit status: 0 done (compare: equal), 1 differences (compare, write --verify, hash --check), 2 trouble (bad "
               "input, no unit, a failing card or file, a slot in use by another program), 130 stopped by Ctrl+C. With "
               "several slots, every card is worked on at once, a failing card stops only itself, a table gives one row "
               "per card, and the status is the worst of the cards'.\n\n"
               "Example, a master card copied to every other card, each one verified and hashed:\n"
               "  tvqcard read master master.img --sha256\n"
               "  tvqcard write master.img 2 3 4 5 --verify\n"
               "  tvqcard hash all --count $(( ($(stat -c %s master.img) + 511) / 512 ))\n\n"
               "Messages are in Japanese under a Japanese locale (LANG, LC_MESSAGES or LC_ALL ja_JP...).");

    auto *list = app.add_subcommand("list", "shows the unit (model, product name and code, firmware versions, "
                                            "mode) and one row per slot: card, drive parameters, capacity, whether "
                                            "the card differs from the master card, and who else uses the slot");

    ReadArgs ra;
    auto *read = app.add_subcommand("read", "reads a card (the whole card, or --start/--count sectors) into "
                                            "FILE; FILE - writes to stdout");
    read->add_option("SLOT", ra.slot, "the slot to read (or vd)")->required();
    read->add_option("FILE", ra.file, "the image file made (an existing one is overwritten, unless read-only); "
                                      "compressed when its name ends in .gz, .xz or .zst")->required();
    read->add_option("--start", ra.start, "first sector (default 0)")->type_name("LBA");
    read->add_option("--count", ra.count, "number of sectors (default: to the end of the card)")->type_name("N");
    read->add_flag("--sha256", ra.sha, "prints the SHA-256 of the bytes read, as sha256sum does");

    WriteArgs wa;
    auto *write = app.add_subcommand("write", "writes FILE onto the card of one or more slots, or through the VD "
                                              "onto every card at once; a final partial sector keeps the card's "
                                              "bytes beyond the file's end");
    write->add_option("FILE", wa.file, "the image file written: plain, gzip, xz, zstd or bzip2")->required();
    write->add_option("SLOT", wa.slots, "slots to write, every card at once (or vd, or all); a card that fails stops only itself")->required();
    write->add_option("--start", wa.start, "first sector written (default 0)")->type_name("LBA");
    write->add_flag("--verify", wa.verify, "reads every written sector back (of every card, for the VD) and "
                                           "compares it with FILE");
    write->add_flag("--sha256", wa.sha, "prints the SHA-256 of the bytes written, as sha256sum does");

    CompareArgs ca;
    auto *compare = app.add_subcommand("compare", "compares the card of one or more slots with FILE from --start, byte "
                                                  "by byte; for one slot, prints each difference with its address, "
                                                  "sector and both bytes; exits 0 when equal and 1 when different, as "
                                                  "cmp does");
    // FILE is the last word: any number of slots come before it.
    CLI::Option *compareFile = nullptr;
    compare
        ->add_option_function<std::vector<std::string>>(
            "SLOT",
            [&](const std::vector<std::string> &words) {
                ca.slots = words;
                if (words.size() < 2) return;
                ca.slots.pop_back();
                compareFile->add_result(words.back());
            },
            "slots to compare, every card at once, each up to its first difference (or vd, or all); a card that "
            "fails or ends before FILE stops only itself")
        ->required();
    compareFile = compare->add_option("FILE", ca.file, "the image file: plain, gzip, xz, zstd or bzip2")->required();
    compare->add_option("--start", ca.start, "card sector where FILE begins (default 0)")->type_name("LBA");
    auto *maxDiffs = compare->add_option("--max-diffs", ca.maxDiffs, "one slot: stops after N differences; 0 lists them all")
        ->capture_default_str()
        ->type_name("N");

    HashArgs ha;
    auto *hash = app.add_subcommand("hash", "prints the SHA-256 of each card (or of --start/--count sectors), one "
                                            "line per slot in sha256sum's format; with --check, checks them");
    hash->add_option("SLOT", ha.slots, "slots to hash, every card at once (or vd, or all)");
    hash->add_option("-c,--check", ha.check, "reads 'HASH  SLOT' lines as hash prints them and checks each slot, "
                                             "as sha256sum -c does; exits 1 when one differs")
        ->type_name("FILE");
    hash->add_option("--start", ha.start, "first sector (default 0)")->type_name("LBA");
    hash->add_option("--count", ha.count, "number of sectors (default: to the end of the card)")->type_name("N");

    DuplicateArgs da;
    auto *duplicate = app.add_subcommand("duplicate", "stays running and writes FILE onto every card that comes into a "
                                                      "watched slot; each card is written once (another card, or the "
                                                      "same one taken out and put in again, is written anew); Ctrl+C "
                                                      "begins no new card and stops the running ones");
    duplicate->add_option("FILE", da.file, "the image file written: plain, gzip, xz, zstd or bzip2")->required();
    duplicate->add_option("SLOT", da.slots, "slots to watch (default: every slot but the master)");
    duplicate->add_flag("--verify", da.verify, "reads each card back and compares it with FILE");
    duplicate->add_flag("--eject", da.eject, "ejects each card written well, where the unit can");
    duplicate->add_option("--log", da.log, "appends one JSON line per card: time, slot, device and serial, card "
                                           "size, SHA-256, result, seconds; device is the node of a card in a reader "
                                           "bound to the slot and serial the one the system knows for it (null when "
                                           "none), both null for an image card")->type_name("FILE");
    duplicate->add_option("--count", da.count, "ends after N cards written well")->type_name("N");

    std::string ejectSlot;
    auto *eject = app.add_subcommand("eject", "takes the card out of its slot");
    eject->add_option("SLOT", ejectSlot, "the slot (vd: the card it mirrors)")->required();

    std::string formatSlot;
    bool yes = false;
    auto *format = app.add_subcommand("format", "writes an empty FAT file system onto the card (every file on it is "
                                                "lost)");
    format->add_option("SLOT", formatSlot, "the slot (vd: every card)")->required();
    format->add_flag("--yes", yes, "confirms that the card's contents may be erased");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "tvqcard: %s\nRun 'tvqcard --help' for the commands and their options.\n", e.what());
        return 2;
    }
    if (!common.bus.empty()) ::setenv("QEVCRDIO_BUS", common.bus.c_str(), 1);
    Progress::Enable(!common.quiet);
    InstallStopHandlers();
    int status = 2;
    try {
        if (list->parsed()) status = List();
        else if (read->parsed()) status = Read(ra);
        else if (write->parsed()) status = Write(wa);
        else if (compare->parsed()) {
            ca.maxDiffsGiven = maxDiffs->count() > 0;
            status = Compare(ca);
        }
        else if (hash->parsed()) status = Hash(ha);
        else if (eject->parsed()) status = Eject(ejectSlot);
        else if (duplicate->parsed()) status = Duplicate(da);
        else if (format->parsed()) status = Format(formatSlot, yes);
    } catch (const ToolError &e) {
        Complain(e.what());
        // A script reading --json gets an answer on stdout in every case.
        if (common.json) {
            json j{{"command", app.get_subcommands().at(0)->get_name()}, {"result", "refused"}, {"message", e.what()}};
            if (e.holderPid > 0) {
                j["holderPid"] = e.holderPid;
                j["holder"] = e.holderName.empty() ? json(nullptr) : json(e.holderName);
            }
            PrintJson(j);
        }
        status = e.Status();
    } catch (const std::exception &e) {
        Complain(e.what());
        status = 2;
    }
    return FinishOutput(status);
}
