#include "tools/pmc7r_sim/executor.h"

#include <map>

#include "platform/host/control.h"

namespace simtool {
namespace {

using scenario::Command;
using scenario::CommandKind;

std::string Quoted(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += (out.empty() ? "\"" : " \"") + line + "\"";
    return out;
}

// What an expectation found; `wrong` when the scenario cannot ask it (exit status 2).
struct Check {
    bool held = true;
    std::string expected, found;
    std::string wrong = {};
};

Check Wrong(std::string what) {
    Check check;
    check.wrong = std::move(what);
    return check;
}

// Bytes against bytes; where long runs differ, the first difference is named.
Check BytesCheck(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& found) {
    Check check{expected == found, HexText(expected), HexText(found)};
    if (!check.held && (expected.size() > 48 || found.size() > 48)) {
        size_t at = 0;
        while (at < expected.size() && at < found.size() && expected[at] == found[at]) ++at;
        check.found += "; they differ from byte " + std::to_string(at);
    }
    return check;
}

std::string ListText(const std::vector<scenario::ListEntry>& list) {
    std::string out;
    for (const scenario::ListEntry& e : list) out += (out.empty() ? "" : " ") + std::to_string(e.id) + ":" + std::to_string(e.version);
    return out.empty() ? "(no units)" : out;
}

class Runner {
public:
    Runner(const scenario::Scenario& s, World& w, const ExecuteOptions& o)
        : scenario_(s), world_(w), out_(o.out), explain_(o.explain), lenient_(o.lenient), hooks_(o.hooks) {}

    Outcome Run() {
        for (const Command& c : scenario_.commands) {
            ++outcome_.commands;
            if (!RunOne(c)) return outcome_;
            if (hooks_) hooks_->AfterCommand(c);
        }
        // What the units dropped by the end, with no expectation that said so.
        if (!scenario_.commands.empty()) {
            for (const UnitEntry* unit : world_.Units())
                if (!CheckLoss(*unit, scenario_.commands.back())) break;
        }
        return outcome_;
    }

private:
    // A byte the unit's MIDI out dropped fails the run unless an `expect unit NAME lost N`
    // accounted for it: the unit, the count and the time of the first drop.
    bool CheckLoss(const UnitEntry& unit, const Command& at) {
        size_t lost = unit.model->OverflowBytes() - acknowledged_[unit.name];
        if (lost == 0) return true;
        acknowledged_[unit.name] += lost;
        std::string message = scenario_.file + ":" + std::to_string(at.line) + ": unit " + unit.name + " lost " +
                           std::to_string(lost) + " bytes of its MIDI out, the first at" +
                           TimeText(unit.model->FirstOverflowTime()) + " (say `expect unit " + unit.name +
                           " lost " + std::to_string(lost) + "` if the scenario expects it)";
        Command loss;
        loss.kind = CommandKind::ExpectUnitLost;
        loss.line = at.line;
        loss.name = unit.name;
        return Failed(1, loss, message);
    }

    bool RunOne(const Command& c) {
        if (scenario::IsExpectation(c.kind)) return Expect(c);
        // A unit that leaves takes its count along: it is checked on its way out.
        if (c.kind == CommandKind::Unplug || c.kind == CommandKind::Remove) {
            if (UnitEntry* unit = world_.Unit(c.name); unit && !CheckLoss(*unit, c)) return false;
        }
        Step step = Do(c);
        if (!step.ok) return Fail(2, c, step.text);
        // Whatever Plug and Play work the command set off is done before the next one.
        world_.Settle();
        if ((c.kind == CommandKind::Unplug || c.kind == CommandKind::Remove) && !world_.Unit(c.name))
            acknowledged_.erase(c.name);
        Say(step.text);
        if (explain_ && out_ && c.kind == CommandKind::Plug) {
            if (UnitEntry* unit = world_.Unit(c.name)) std::fputs(DisplayBox(world_.DisplayLines(*unit)).c_str(), out_);
        }
        return true;
    }

    Step Do(const Command& c) {
        switch (c.kind) {
        case CommandKind::Service: return world_.Service(c.settings);
        case CommandKind::Plug: return world_.Plug(c.name, c.plug);
        case CommandKind::Unplug: return world_.Unplug(c.name);
        case CommandKind::Remove: return world_.Remove(c.name);
        case CommandKind::Restart: return world_.Restart(c.name);
        case CommandKind::Sleep: return world_.SetSystem(true);
        case CommandKind::Wake: return world_.SetSystem(false);
        case CommandKind::Wait:
            if (hooks_)
                hooks_->Wait(c.duration);
            else
                host::Advance(c.duration);
            return Step::Done("");
        case CommandKind::UnitSends: return world_.UnitSends(c.name, c.bytes);
        case CommandKind::ClientOpenAll: return world_.ClientOpenAll();
        case CommandKind::ClientCloseAll: return world_.ClientCloseAll();
        case CommandKind::ClientList: return world_.ClientList();
        case CommandKind::ClientWrite: return world_.ClientWrite(c.number, c.bytes);
        case CommandKind::ClientWriteMaster: return world_.ClientWriteMaster(c.bytes);
        case CommandKind::ClientCapacity: return world_.ClientCapacity(c.number);
        case CommandKind::Open: return world_.Open(c.name, c.handle);
        case CommandKind::Read: return world_.Read(c.handle, c.count.value_or(64), c.async);
        case CommandKind::Write: return world_.Write(c.handle, c.bytes);
        case CommandKind::Close: return world_.Close(c.handle);
        case CommandKind::QueryRemove: return world_.QueryRemove(c.name);
        case CommandKind::CancelRemove: return world_.CancelRemove(c.name);
        case CommandKind::QueryStop: return world_.QueryStop(c.name);
        case CommandKind::CancelStop: return world_.CancelStop(c.name);
        default: return Step::Error("not a command to carry out");
        }
    }

    bool Expect(const Command& c) {
        ++outcome_.expectations;
        Check check = Examine(c);
        if (!check.wrong.empty()) return Fail(2, c, check.wrong);
        if (!check.held) return Fail(1, c, "expected " + check.expected + ", found " + check.found);
        Say(std::string("ok: ") + scenario::CommandName(c.kind) + " " + Target(c) + check.expected);
        return true;
    }

    Check Examine(const Command& c) {
        switch (c.kind) {
        case CommandKind::ExpectDisplay: return OnUnit(c, &Runner::ExpectDisplay);
        case CommandKind::ExpectUnitReceived: return OnUnit(c, &Runner::ExpectUnitReceived);
        case CommandKind::ExpectUnitLost: return OnUnit(c, &Runner::ExpectUnitLost);
        case CommandKind::ExpectClient: return OnClient(c, &Runner::ExpectClient);
        case CommandKind::ExpectList: return OnClient(c, &Runner::ExpectList);
        case CommandKind::ExpectChild:
        case CommandKind::ExpectNoChild: return ExpectChild(c);
        case CommandKind::ExpectRead: return ExpectRead(c);
        case CommandKind::ExpectPower: return OnUnit(c, &Runner::ExpectPower);
        case CommandKind::ExpectStarted: return OnUnit(c, &Runner::ExpectStarted);
        case CommandKind::ExpectProblem: return OnUnit(c, &Runner::ExpectProblem);
        case CommandKind::ExpectRegistry: return OnUnit(c, &Runner::ExpectRegistry);
        default: return Wrong("not an expectation");
        }
    }

    // The expectations about one unit, which must be plugged.
    Check OnUnit(const Command& c, Check (Runner::*examine)(const Command&, UnitEntry&)) {
        UnitEntry* unit = world_.Unit(c.name);
        if (!unit) return Wrong("no unit " + c.name + " is plugged");
        return (this->*examine)(c, *unit);
    }

    // The expectations about the client, which lives on the master's child.
    Check OnClient(const Command& c, Check (Runner::*examine)(const Command&)) {
        if (!world_.ClientPresent()) return Wrong("there is no master with the MIDI client on its child");
        return (this->*examine)(c);
    }

    Check ExpectDisplay(const Command& c, UnitEntry& unit) {
        std::vector<std::string> lines = world_.DisplayLines(unit);
        lines.resize(c.texts.size());
        return {lines == c.texts, Quoted(c.texts), Quoted(lines)};
    }

    Check ExpectUnitReceived(const Command& c, UnitEntry& unit) {
        return BytesCheck(c.bytes, unit.model->TakeMidiOut());
    }

    Check ExpectUnitLost(const Command& c, UnitEntry& unit) {
        size_t lost = unit.model->OverflowBytes() - acknowledged_[c.name];
        acknowledged_[c.name] += lost;
        return {lost == c.count.value_or(0), std::to_string(c.count.value_or(0)) + " bytes lost",
                std::to_string(lost) + " bytes lost"};
    }

    Check ExpectClient(const Command& c) {
        std::vector<uint8_t> got = world_.TakeClientBytes(c.number);
        for (const sim::MidiMessage& m : world_.TakeClientMessages(c.number)) {
            if (explain_) Say("  the client decodes from ID " + std::to_string(c.number) + ": " + DescribeMidi(m));
        }
        return BytesCheck(c.bytes, got);
    }

    Check ExpectList(const Command& c) {
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<scenario::ListEntry> got;
        for (const sim::ListedUnit& u : world_.List(&status)) got.push_back({u.id, u.firmware});
        return {got == c.list, ListText(c.list), ListText(got)};
    }

    // `expect child` and `expect no-child`.
    Check ExpectChild(const Command& c) {
        const sim::PnpNode* child = world_.Child();
        std::string found = "no child";
        if (child && !child->hardwareIds.empty()) {
            found = "a child with hardware ID \"";
            for (char16_t ch : child->hardwareIds.front()) found += char(ch);
            found += "\"";
        }
        std::string expected = c.kind == CommandKind::ExpectNoChild ? "no child"
                                                                    : "a child with hardware ID \"" + c.texts.at(0) + "\"";
        return {found == expected, expected, found};
    }

    Check ExpectRead(const Command& c) {
        std::optional<World::ReadRecord> got = world_.LastRead(c.handle);
        if (!got) {
            if (!world_.HasHandle(c.handle)) return Wrong("handle " + c.handle + " is not open");
            return Wrong("nothing was read on " + c.handle + " yet");
        }
        std::string found = got->pending ? "pending"
                            : got->status == STATUS_CANCELLED ? "cancelled"
                                                              : HexText(got->bytes);
        if (!c.texts.empty()) return {found == c.texts[0], c.texts[0], found};
        // A plain read that got nothing in its time was cancelled: it read nothing.
        return {!got->pending && got->bytes == c.bytes, HexText(c.bytes), got->pending ? found : HexText(got->bytes)};
    }

    Check ExpectPower(const Command& c, UnitEntry& unit) {
        auto text = [](uint32_t state) {
            return state >= 1 && state <= 4 ? "D" + std::to_string(state - 1) : "unspecified";
        };
        uint32_t state = world_.PowerState(unit);
        return {state == c.number, text(c.number), text(state)};
    }

    Check ExpectStarted(const Command&, UnitEntry& unit) {
        bool started = unit.node->Started();
        return {started, "started", started ? "started" : "not started"};
    }

    Check ExpectProblem(const Command& c, UnitEntry& unit) {
        uint32_t problem = uint32_t(unit.node->problem.load());
        return {problem == c.number, "problem " + std::to_string(c.number), "problem " + std::to_string(problem)};
    }

    Check ExpectRegistry(const Command& c, UnitEntry& unit) {
        Check check;
        for (const scenario::Setting& s : c.settings) {
            std::optional<uint32_t> value = world_.RegistryValue(unit, s.name);
            std::string found = value ? s.name + "=" + std::to_string(*value) : "no " + s.name;
            check.expected += (check.expected.empty() ? "" : " ") + s.name + "=" + std::to_string(s.value);
            check.found += (check.found.empty() ? "" : " ") + found;
            check.held = check.held && value && *value == s.value;
        }
        return check;
    }

    static std::string Target(const Command& c) {
        if (!c.name.empty()) return c.name + " ";
        if (!c.handle.empty()) return c.handle + " ";
        if (c.kind == CommandKind::ExpectClient) return std::to_string(c.number) + ": ";
        return "";
    }

    bool Fail(int code, const Command& c, const std::string& what) {
        return Failed(code, c, scenario_.file + ":" + std::to_string(c.line) + ": " + scenario::CommandName(c.kind) +
                                   ": " + what);
    }

    // A lenient run counts the failure and goes on.
    bool Failed(int code, const Command& c, const std::string& message) {
        if (!lenient_) {
            outcome_.code = code;
            outcome_.message = message;
            return false;
        }
        if (hooks_ && hooks_->Excused(c)) {
            ++outcome_.excused;
        } else if (outcome_.failures++ == 0) {
            outcome_.firstFailure = message;
        }
        Say("(failed, going on) " + message);
        return true;
    }

    void Say(const std::string& text) {
        if (out_ && !text.empty()) std::fprintf(out_, "%s  %s\n", TimeText(host::Now()).c_str(), text.c_str());
    }

    const scenario::Scenario& scenario_;
    World& world_;
    std::FILE* out_;
    bool explain_;
    bool lenient_;
    ExecuteHooks* hooks_;
    Outcome outcome_;
    std::map<std::string, size_t> acknowledged_;  // drops an expectation accounted for, by unit
};

}  // namespace

Outcome Execute(const scenario::Scenario& scenario, World& world, const ExecuteOptions& options) {
    return Runner(scenario, world, options).Run();
}

std::string DisplayBox(const std::vector<std::string>& lines) {
    std::string rule = "                 +" + std::string(40, '-') + "+\n";
    std::string box = rule;
    for (const std::string& line : lines) {
        std::string shown = line.substr(0, 40);
        for (char& ch : shown) {
            if (ch < ' ' || ch > '~') ch = ' ';
        }
        box += "                 |" + shown + std::string(40 - shown.size(), ' ') + "|\n";
    }
    return box + rule;
}

std::string DescribeMidi(const std::vector<uint8_t>& m) {
    if (m.empty()) return "(empty)";
    uint8_t status = m[0];
    std::string channel = ", channel " + std::to_string((status & 0x0F) + 1);
    auto at = [&](size_t i) { return i < m.size() ? std::to_string(m[i]) : std::string("?"); };
    switch (status & 0xF0) {
    case 0x80: return "Note Off " + at(1) + " velocity " + at(2) + channel;
    case 0x90: return "Note On " + at(1) + " velocity " + at(2) + channel;
    case 0xA0: return "Aftertouch " + at(1) + " = " + at(2) + channel;
    case 0xB0: return "Control Change " + at(1) + " = " + at(2) + channel;
    case 0xC0: return "Program Change " + at(1) + channel;
    case 0xD0: return "Channel Pressure " + at(1) + channel;
    case 0xE0: return "Pitch Bend " + std::to_string(m.size() > 2 ? (m[2] << 7 | m[1]) : 0) + channel;
    default: break;
    }
    if (status == 0xF0) return "SysEx of " + std::to_string(m.size()) + " bytes";
    return "System message " + HexText(m);
}

}  // namespace simtool
