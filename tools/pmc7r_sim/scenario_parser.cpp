#include "tools/pmc7r_sim/scenario_parser.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "sim/text.h"
#include "tools/pmc7r_sim/scenario_lexer.h"

namespace scenario {
namespace {

std::string Quote(std::string_view text) { return "'" + std::string(text) + "'"; }

// The arguments of one command, consumed left to right. Messages about missing or surplus
// words carry the command's usage.
class Arguments {
public:
    Arguments(std::vector<Token> tokens, size_t first, std::string_view usage)
        : tokens_(std::move(tokens)), next_(first), usage_(usage) {}

    bool AtEnd() const { return next_ == tokens_.size(); }
    const Token& Peek() const { return tokens_[next_]; }

    const Token& Word(std::string_view what) {
        if (AtEnd()) Fail("missing " + std::string(what));
        const Token& token = tokens_[next_++];
        if (token.quoted) Fail("expected " + std::string(what) + ", found the text \"" + token.text + "\"");
        return token;
    }
    std::string Name(std::string_view what) {
        const Token& token = Word(what);
        if (!IsName(token.text))
            throw SyntaxError(std::string(what) + " " + Quote(token.text) +
                              " is not a name (letters, digits, '_' and '-', starting with a letter)");
        return token.text;
    }
    void Literal(std::string_view word) {
        const Token& token = Word(Quote(word));
        if (token.text != word) Fail("expected " + Quote(word) + ", found " + Quote(token.text));
    }
    uint32_t Number(std::string_view what, uint32_t max = UINT32_MAX) {
        return ParseNumber(Word(what).text, what, max);
    }
    std::string Text(std::string_view what) {
        if (AtEnd()) Fail("missing " + std::string(what) + " (a text in double quotes)");
        const Token& token = tokens_[next_++];
        if (!token.quoted) Fail(std::string(what) + " must be in double quotes, found " + Quote(token.text));
        return token.text;
    }
    std::vector<uint8_t> Bytes(bool required) {
        if (required && AtEnd()) Fail("missing bytes (hex pairs such as 90 3C 7F)");
        if (!AtEnd() && !Peek().quoted && Peek().text == "pattern") {
            ++next_;
            std::vector<uint8_t> bytes = PatternBytes(Number("pattern length", 1u << 20));
            End();
            return bytes;
        }
        std::vector<uint8_t> bytes;
        while (!AtEnd()) bytes.push_back(ParseHexPair(Word("byte").text));
        return bytes;
    }
    void End() {
        if (!AtEnd()) Fail("unexpected " + Quote(Peek().text) + " at the end");
    }
    [[noreturn]] void Fail(const std::string& message) const {
        throw SyntaxError(message + " (usage: " + usage_ + ")");
    }

private:
    std::vector<Token> tokens_;
    size_t next_;
    std::string usage_;
};

// NAME=N, with the name checked by the caller.
Setting ParseSetting(const Token& token, std::string_view what) {
    size_t equals = token.text.find('=');
    if (token.quoted || equals == std::string::npos || equals == 0)
        throw SyntaxError("expected " + std::string(what) + "=N, found " + Quote(token.text));
    std::string name = token.text.substr(0, equals);
    return {name, ParseNumber(std::string_view(token.text).substr(equals + 1), name)};
}

void AddSetting(std::vector<Setting>* settings, Setting setting) {
    for (const Setting& s : *settings)
        if (s.name == setting.name) throw SyntaxError(Quote(setting.name) + " is given twice");
    settings->push_back(std::move(setting));
}

void ParseService(Arguments& a, Command& c) {
    if (a.AtEnd()) a.Fail("missing a setting");
    while (!a.AtEnd()) {
        Setting s = ParseSetting(a.Word("setting"), "NAME");
        if (s.name != "Interface" && s.name != "Alternate" && s.name != "AlternateBulk")
            throw SyntaxError("unknown setting " + Quote(s.name) + " (Interface, Alternate, AlternateBulk)");
        AddSetting(&c.settings, std::move(s));
    }
}

void ParseFirmware(std::string_view text, PlugOptions* plug) {
    auto digit = [&](size_t i) { return std::isdigit(static_cast<unsigned char>(text[i])) != 0; };
    if (text.size() != 4 || !digit(0) || text[1] != '.' || !digit(2) || !digit(3))
        throw SyntaxError("fw: " + Quote(text) + " is not a version D.DD such as 2.24");
    plug->firmware = std::string(text);
    plug->version = uint32_t(text[0] - '0') * 100 + uint32_t(text[2] - '0') * 10 + uint32_t(text[3] - '0');
}

void ParsePlugOption(const Token& token, PlugOptions* plug) {
    if (token.text == "silent") {
        plug->silent = true;
        return;
    }
    if (token.text == "reports=ahead" || token.text == "reports=behind") {
        plug->reportsAhead = token.text == "reports=ahead";
        return;
    }
    if (token.text == "startfails") {
        plug->startFails = true;
        return;
    }
    size_t equals = token.text.find('=');
    if (token.quoted || equals == std::string::npos)
        throw SyntaxError("unknown option " + Quote(token.text) +
                          " (id=, fw=, product=, vendor=, packet=, bulkmode=, reports=, buffer=, silent, startfails)");
    std::string key = token.text.substr(0, equals);
    std::string_view value = std::string_view(token.text).substr(equals + 1);
    if (key == "id") plug->deviceId = ParseNumber(value, "id", 255);
    else if (key == "fw") ParseFirmware(value, plug);
    else if (key == "product") plug->product = uint16_t(ParseNumber(value, "product", 0xFFFF));
    else if (key == "vendor") plug->vendor = uint16_t(ParseNumber(value, "vendor", 0xFFFF));
    else if (key == "packet") {
        plug->packet = uint16_t(ParseNumber(value, "packet", 1024));
        if (plug->packet == 0) throw SyntaxError("packet: the packet size must be at least 1");
    } else if (key == "bulkmode") plug->bulkMode = ParseNumber(value, "bulkmode");
    else if (key == "buffer") {
        plug->buffer = ParseNumber(value, "buffer", 1u << 20);
        if (*plug->buffer < 2) throw SyntaxError("buffer: the MIDI-out buffer must hold at least 2 bytes");
    } else if (key == "reports") throw SyntaxError("reports: " + Quote(value) + " is neither ahead nor behind");
    else throw SyntaxError("unknown option " + Quote(key) + " (id=, fw=, product=, vendor=, packet=, bulkmode=, reports=, buffer=, silent, startfails)");
}

void ParsePlug(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    std::vector<std::string> seen;
    while (!a.AtEnd()) {
        const Token& token = a.Word("option");
        std::string key = token.text.substr(0, token.text.find('='));
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            throw SyntaxError("option " + Quote(key) + " is given twice");
        ParsePlugOption(token, &c.plug);
        seen.push_back(key);
    }
}

void ParseUnitName(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    a.End();
}

void ParseNothing(Arguments& a, Command&) { a.End(); }

void ParseWait(Arguments& a, Command& c) {
    c.duration = ParseDuration(a.Word("DURATION").text);
    a.End();
}

void ParseUnitSends(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    a.Literal("sends");
    c.bytes = a.Bytes(true);
}

void ParseClientWrite(Arguments& a, Command& c) {
    c.number = a.Number("device ID");
    c.bytes = a.Bytes(true);
}

void ParseClientWriteMaster(Arguments& a, Command& c) { c.bytes = a.Bytes(true); }

void ParseClientCapacity(Arguments& a, Command& c) {
    c.number = a.Number("capacity");
    a.End();
}

void ParseOpen(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    a.Literal("as");
    c.handle = a.Name("HANDLE");
    a.End();
}

void ParseRead(Arguments& a, Command& c) {
    c.handle = a.Name("HANDLE");
    if (!a.AtEnd()) c.count = a.Number("byte count", kMaxReadCount);
    if (!a.AtEnd() && a.Peek().text == "async" && !a.Peek().quoted) {
        a.Word("'async'");
        c.async = true;
    }
    a.End();
}

void ParseWrite(Arguments& a, Command& c) {
    c.handle = a.Name("HANDLE");
    c.bytes = a.Bytes(true);
}

void ParseClose(Arguments& a, Command& c) {
    c.handle = a.Name("HANDLE");
    a.End();
}

void ParseExpectDisplay(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    c.texts.push_back(sim::TrimTrailingBlanks(a.Text("line 1")));
    if (!a.AtEnd()) c.texts.push_back(sim::TrimTrailingBlanks(a.Text("line 2")));
    a.End();
}

void ParseExpectUnit(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    if (!a.AtEnd() && !a.Peek().quoted && a.Peek().text == "lost") {
        a.Literal("lost");
        c.kind = CommandKind::ExpectUnitLost;
        c.count = a.Number("byte count");
        a.End();
        return;
    }
    a.Literal("received");
    c.bytes = a.Bytes(false);
}

void ParseExpectClient(Arguments& a, Command& c) {
    c.number = a.Number("device ID");
    c.bytes = a.Bytes(false);
}

void ParseExpectList(Arguments& a, Command& c) {
    while (!a.AtEnd()) {
        const std::string& text = a.Word("ID:VERSION").text;
        size_t colon = text.find(':');
        if (colon == std::string::npos)
            throw SyntaxError("expected ID:VERSION such as 0:224, found " + Quote(text));
        std::string_view view(text);
        c.list.push_back({ParseNumber(view.substr(0, colon), "ID"), ParseNumber(view.substr(colon + 1), "VERSION")});
    }
}

void ParseExpectChild(Arguments& a, Command& c) {
    c.texts.push_back(a.Text("hardware ID"));
    a.End();
}

void ParseExpectRead(Arguments& a, Command& c) {
    c.handle = a.Name("HANDLE");
    if (!a.AtEnd() && !a.Peek().quoted && (a.Peek().text == "pending" || a.Peek().text == "cancelled")) {
        c.texts.push_back(a.Word("state").text);
        a.End();
        return;
    }
    c.bytes = a.Bytes(false);
}

void ParseExpectPower(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    const std::string& state = a.Word("D0 to D3").text;
    if (state.size() != 2 || state[0] != 'D' || state[1] < '0' || state[1] > '3')
        throw SyntaxError("expected a device power state D0, D1, D2 or D3, found " + Quote(state));
    c.number = uint32_t(state[1] - '0') + 1;  // the platform's numbers: D0 is 1
    a.End();
}

void ParseExpectProblem(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    c.number = a.Number("problem code");
    a.End();
}

void ParseExpectRegistry(Arguments& a, Command& c) {
    c.name = a.Name("unit NAME");
    if (a.AtEnd()) a.Fail("missing VALUE=N");
    while (!a.AtEnd()) {
        Setting s = ParseSetting(a.Word("VALUE=N"), "VALUE");
        if (!IsName(s.name)) throw SyntaxError(Quote(s.name) + " is not a value name");
        AddSetting(&c.settings, std::move(s));
    }
}

// One command form of the language: how a line starts, what it becomes, whether it is an
// expectation, its usage (in messages and the help) and what the help says of it.
struct Syntax {
    const char* words;  // the leading word, or two for client and expect commands
    CommandKind kind;
    bool expectation;
    const char* usage;
    const char* description;
    void (*parse)(Arguments&, Command&);
};

constexpr bool kAction = false;
constexpr bool kExpectation = true;

// In the order the help lists them. Among rows that share their words the first is found,
// and its usage is the one messages quote.
constexpr Syntax kSyntax[] = {
    {"service", CommandKind::Service, kAction, "service Interface=N Alternate=N AlternateBulk=N",
     "service-key values; only before the first plug", ParseService},
    {"plug", CommandKind::Plug, kAction,
     "plug NAME [id=N] [fw=D.DD] [product=N] [vendor=N] [packet=N] [bulkmode=N] [reports=ahead|behind] [buffer=N] [silent] [startfails]",
     "plug in a unit; defaults id=0 fw=2.24 product=0x002A vendor=0x0C5B packet=64, no UsbBulkMode value, "
     "reports=behind (busy and ready queue behind the unit's input; ahead: they overtake it), buffer=512 "
     "(MIDI-out bytes, busy at half full); silent: the unit never answers; startfails: the bus fails its start",
     ParsePlug},
    {"unplug", CommandKind::Unplug, kAction, "unplug NAME", "pulled out: surprise removal, then removal", ParseUnitName},
    {"remove", CommandKind::Remove, kAction, "remove NAME", "orderly removal: query-remove, then remove", ParseUnitName},
    {"restart", CommandKind::Restart, kAction, "restart NAME",
     "query-stop, stop, start; settles for 20 ms and sets aside the client input of the new bring-up", ParseUnitName},
    {"query-remove", CommandKind::QueryRemove, kAction, "query-remove NAME",
     "the first half of a removal that is called off; an open handle vetoes the query (and a remove)", ParseUnitName},
    {"cancel-remove", CommandKind::CancelRemove, kAction, "cancel-remove NAME", "the second half: the removal is called off",
     ParseUnitName},
    {"query-stop", CommandKind::QueryStop, kAction, "query-stop NAME", "the first half of a stop that is called off",
     ParseUnitName},
    {"cancel-stop", CommandKind::CancelStop, kAction, "cancel-stop NAME", "the second half: the stop is called off",
     ParseUnitName},
    {"sleep", CommandKind::Sleep, kAction, "sleep", "system to S3", ParseNothing},
    {"wake", CommandKind::Wake, kAction, "wake", "system back to S0", ParseNothing},
    {"wait", CommandKind::Wait, kAction, "wait DURATION", "let virtual time run", ParseWait},
    {"unit", CommandKind::UnitSends, kAction, "unit NAME sends HEX...", "the unit sends MIDI bytes to the host",
     ParseUnitSends},
    {"client open-all", CommandKind::ClientOpenAll, kAction, "client open-all",
     "settles for 20 ms: the units' identity answers to being opened are not client input", ParseNothing},
    {"client close-all", CommandKind::ClientCloseAll, kAction, "client close-all", "", ParseNothing},
    {"client list", CommandKind::ClientList, kAction, "client list", "", ParseNothing},
    {"client write", CommandKind::ClientWrite, kAction, "client write ID HEX...", "write to the unit with device ID",
     ParseClientWrite},
    {"client write-master", CommandKind::ClientWriteMaster, kAction, "client write-master HEX...", "write to the master",
     ParseClientWriteMaster},
    {"client capacity", CommandKind::ClientCapacity, kAction, "client capacity N", "capacity of the client's reads",
     ParseClientCapacity},
    {"open", CommandKind::Open, kAction, "open NAME as HANDLE", "open the unit's function device as a file", ParseOpen},
    {"read", CommandKind::Read, kAction, "read HANDLE [N [async]]",
     "read from it (N bytes, at most 1024); async: start the read and go on", ParseRead},
    {"write", CommandKind::Write, kAction, "write HANDLE HEX...", "write to it", ParseWrite},
    {"close", CommandKind::Close, kAction, "close HANDLE",
     "cancels nothing: the driver's cleanup ends a read still parked; the last read stays to look at", ParseClose},
    {"expect display", CommandKind::ExpectDisplay, kExpectation, "expect display NAME \"LINE 1\" [\"LINE 2\"]",
     "trailing blanks ignored", ParseExpectDisplay},
    {"expect unit", CommandKind::ExpectUnitReceived, kExpectation, "expect unit NAME received HEX...",
     "the unit's MIDI out since the last such expect", ParseExpectUnit},
    // Reached through the row above, whose parse tells the two apart.
    {"expect unit", CommandKind::ExpectUnitLost, kExpectation, "expect unit NAME lost N",
     "bytes the unit's MIDI out dropped since the last such expect; a drop no expect accounts for fails the "
     "run (unit, count, time), at the end or when the unit leaves",
     ParseExpectUnit},
    {"expect client", CommandKind::ExpectClient, kExpectation, "expect client ID HEX...",
     "bytes the client read tagged ID since the last one", ParseExpectClient},
    {"expect list", CommandKind::ExpectList, kExpectation, "expect list ID:VERSION...",
     "the client's unit list, e.g. 0:224 3:230", ParseExpectList},
    {"expect child", CommandKind::ExpectChild, kExpectation, "expect child \"HARDWARE ID\"",
     "the master's child exists with that hardware ID", ParseExpectChild},
    {"expect no-child", CommandKind::ExpectNoChild, kExpectation, "expect no-child", "", ParseNothing},
    {"expect read", CommandKind::ExpectRead, kExpectation, "expect read HANDLE pending|cancelled|HEX...",
     "what the last read on HANDLE became, or the bytes it returned", ParseExpectRead},
    {"expect registry", CommandKind::ExpectRegistry, kExpectation, "expect registry NAME VALUE=N...",
     "values of the unit's driver key, e.g. CurrentAlternate=1", ParseExpectRegistry},
    {"expect power", CommandKind::ExpectPower, kExpectation, "expect power NAME D0|D1|D2|D3",
     "the unit's device power state on the bus", ParseExpectPower},
    {"expect started", CommandKind::ExpectStarted, kExpectation, "expect started NAME", "the unit's node is started",
     ParseUnitName},
    {"expect problem", CommandKind::ExpectProblem, kExpectation, "expect problem NAME N",
     "its node's problem code (10: the start failed)", ParseExpectProblem},
};

const Syntax* SyntaxOf(CommandKind kind) {
    for (const Syntax& s : kSyntax)
        if (s.kind == kind) return &s;
    return nullptr;
}

std::string SubcommandsOf(std::string_view group) {
    std::string list;
    std::vector<std::string> seen;
    for (const Syntax& s : kSyntax) {
        std::string_view words(s.words);
        if (!words.starts_with(std::string(group) + " ")) continue;
        std::string sub(words.substr(group.size() + 1));
        if (std::find(seen.begin(), seen.end(), sub) != seen.end()) continue;
        seen.push_back(sub);
        if (!list.empty()) list += ", ";
        list += sub;
    }
    return list;
}

const Syntax& FindSyntax(const std::vector<Token>& tokens, size_t* used) {
    const std::string& first = tokens[0].text;
    if (tokens[0].quoted) throw SyntaxError("a line must start with a command, not a text");
    if (first == "client" || first == "expect") {
        if (tokens.size() < 2 || tokens[1].quoted)
            throw SyntaxError("missing " + first + " command (" + SubcommandsOf(first) + ")");
        std::string words = first + " " + tokens[1].text;
        for (const Syntax& s : kSyntax)
            if (words == s.words) {
                *used = 2;
                return s;
            }
        throw SyntaxError("unknown " + first + " command " + Quote(tokens[1].text) + " (" +
                          SubcommandsOf(first) + ")");
    }
    for (const Syntax& s : kSyntax)
        if (first == s.words) {
            *used = 1;
            return s;
        }
    throw SyntaxError("unknown command " + Quote(first));
}

// False for a blank or comment line.
bool ParseLine(std::string_view text, Command* command) {
    std::vector<Token> tokens = SplitLine(text);
    if (tokens.empty()) return false;
    size_t used = 0;
    const Syntax& syntax = FindSyntax(tokens, &used);
    command->kind = syntax.kind;
    Arguments arguments(std::move(tokens), used, syntax.usage);
    syntax.parse(arguments, *command);
    return true;
}

}  // namespace

std::vector<uint8_t> PatternBytes(uint32_t count) {
    std::vector<uint8_t> bytes;
    bytes.reserve(count);
    for (uint32_t k = 0; bytes.size() < count; ++k) {
        uint8_t message[] = {uint8_t(0xB0 | (k & 0x0F)), uint8_t(k % 120), uint8_t((k / 120) & 0x7F)};
        for (uint8_t b : message)
            if (bytes.size() < count) bytes.push_back(b);
    }
    return bytes;
}

const char* CommandName(CommandKind kind) {
    const Syntax* syntax = SyntaxOf(kind);
    return syntax ? syntax->words : "?";
}

bool IsExpectation(CommandKind kind) {
    const Syntax* syntax = SyntaxOf(kind);
    return syntax && syntax->expectation;
}

std::vector<CommandForm> CommandForms() {
    std::vector<CommandForm> forms;
    for (const Syntax& s : kSyntax) forms.push_back({s.usage, s.description});
    return forms;
}

std::variant<Scenario, ParseError> ParseScenario(std::string_view text, const std::string& file) {
    Scenario scenario{file, {}};
    bool plugged = false;
    int number = 0;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        ++number;
        Command command;
        command.line = number;
        try {
            if (!ParseLine(line, &command)) continue;
            if (command.kind == CommandKind::Service && plugged)
                throw SyntaxError("service must come before the first plug");
        } catch (const SyntaxError& error) {
            return ParseError{file, number, error.what()};
        }
        plugged = plugged || command.kind == CommandKind::Plug;
        scenario.commands.push_back(std::move(command));
    }
    return scenario;
}

std::variant<Scenario, ParseError> ParseScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return ParseError{path, 0, "cannot read the file"};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseScenario(text, path);
}

}  // namespace scenario
