// tvqcard eject and format.
#include "Commands.h"
#include "Messages.h"
#include "Output.h"
#include "Sense.h"
#include "tvq2xx.h"

using json = nlohmann::json;

namespace {

// The result of a one-call command: printed as JSON when asked, the message on stderr.
int Finish(Session &s, const std::string &command, uint32_t slot, Outcome &o, Msg done)
{
    EndRun(s, o);
    if (common.json) {
        json j = OutcomeJson(command, o);
        j.erase("bytes");
        j.erase("seconds");
        j["slot"] = s.Name(slot);
        if (o.code != 0 && o.code != -1) {
            j["sense"] = SenseText(o.code);
            j["cause"] = Cause(o.code);
        }
        PrintJson(j);
    }
    if (o.kind == Outcome::Done) Note(Say(done, {s.Name(slot)}));
    else Complain(o.message);
    return StatusOf(o);
}

}  // namespace

int Eject(const std::string &word)
{
    Session s;
    const uint32_t slot = s.Parse({word}, true, false).at(0);
    const SlotRecord &r = s.Record(slot);
    if (r.CardPresent == 0 && s.Problem(slot) != 0)
        throw ToolError(Say(Msg::CardProblem, {s.Name(slot), Cause(s.Problem(slot))}));
    if (r.CardPresent == 0) throw ToolError(Say(Msg::NoCard, {s.Name(slot)}));
    s.Reserve({slot});
    uint32_t target = s.TargetOf(slot);
    Outcome o;
    if (!EjectCard(target)) {
        o.kind = Outcome::Failed;
        o.message = Say(Msg::EjectFailed, {s.Name(slot)});
    }
    return Finish(s, "eject", slot, o, Msg::Ejected);
}

int Format(const std::string &word, bool yes)
{
    Session s;
    const uint32_t slot = s.Parse({word}, true, false).at(0);
    s.Card(slot);
    if (!yes) throw ToolError(Say(Msg::FormatNeedsYes, {s.Name(slot)}));
    s.Reserve({slot});
    uint32_t target = s.TargetOf(slot);
    Outcome o;
    if (!FormatCard(target, SlotTable[target])) {
        o.kind = Outcome::Failed;
        o.code = LastDeviceResult();
        o.message = Say(Msg::FormatFailed, {s.Name(slot)}) + ": " + Cause(o.code);
    }
    return Finish(s, "format", slot, o, Msg::Formatted);
}
