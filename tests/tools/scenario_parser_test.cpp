#include <gtest/gtest.h>

#include <sstream>
#include <variant>

#include "tools/pmc7r_sim/scenario_parser.h"

namespace {

using scenario::Command;
using scenario::CommandKind;
using scenario::ParseError;
using scenario::Scenario;

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::ostringstream out;
    for (uint8_t b : bytes) out << std::hex << int(b) << ' ';
    return out.str();
}

// Every field a command can carry, so that one comparison covers what the parser filled
// and what it left alone.
std::string Describe(const Command& c) {
    std::ostringstream out;
    out << scenario::CommandName(c.kind) << " name=" << c.name << " handle=" << c.handle << " number=" << c.number
        << " count=" << (c.count ? std::to_string(*c.count) : "-") << " bytes=" << Hex(c.bytes)
        << " duration=" << c.duration << " texts=";
    for (const std::string& t : c.texts) out << '[' << t << ']';
    out << " settings=";
    for (const auto& s : c.settings) out << s.name << '=' << s.value << ' ';
    out << " list=";
    for (const auto& e : c.list) out << e.id << ':' << e.version << ' ';
    const auto& p = c.plug;
    out << " plug=" << p.deviceId << ',' << p.firmware << ',' << p.version << ',' << p.product << ','
        << p.vendor << ',' << p.packet << ',' << (p.bulkMode ? std::to_string(*p.bulkMode) : "-") << ','
        << p.silent << ',' << p.reportsAhead << ',' << (p.buffer ? std::to_string(*p.buffer) : "-") << ','
        << p.startFails << " async=" << c.async;
    return out.str();
}

Command Single(const std::string& text) {
    auto parsed = scenario::ParseScenario(text, "t.scn");
    if (auto* error = std::get_if<ParseError>(&parsed)) {
        ADD_FAILURE() << text << ": " << error->message;
        return {};
    }
    const auto& commands = std::get<Scenario>(parsed).commands;
    EXPECT_EQ(commands.size(), 1u) << text;
    return commands.empty() ? Command{} : commands[0];
}

scenario::PlugOptions Plug(uint32_t id, std::string fw, uint32_t version, uint16_t product, uint16_t packet,
                           std::optional<uint32_t> bulkMode, bool silent) {
    scenario::PlugOptions p;
    p.deviceId = id;
    p.firmware = fw;
    p.version = version;
    p.product = product;
    p.packet = packet;
    p.bulkMode = bulkMode;
    p.silent = silent;
    return p;
}

Command Make(CommandKind kind, void (*fill)(Command&) = nullptr) {
    Command c;
    c.kind = kind;
    if (fill) fill(c);
    return c;
}

struct GoodLine {
    const char* text;
    Command expected;
};

const GoodLine kGoodLines[] = {
    {"service Interface=2 Alternate=0x1 AlternateBulk=0",
     Make(CommandKind::Service, [](Command& c) { c.settings = {{"Interface", 2}, {"Alternate", 1}, {"AlternateBulk", 0}}; })},
    {"plug m", Make(CommandKind::Plug, [](Command& c) { c.name = "m"; })},
    {"plug s3 id=3 fw=2.30 product=0x002B packet=8 bulkmode=1 silent",
     Make(CommandKind::Plug, [](Command& c) { c.name = "s3"; c.plug = Plug(3, "2.30", 230, 0x2B, 8, 1, true); })},
    {"plug odd id=9 fw=1.05 vendor=0x1234 bulkmode=0",
     Make(CommandKind::Plug, [](Command& c) {
         c.name = "odd";
         c.plug = Plug(9, "1.05", 105, 0x2A, 64, 0, false);
         c.plug.vendor = 0x1234;
     })},
    {"unplug unit_1", Make(CommandKind::Unplug, [](Command& c) { c.name = "unit_1"; })},
    {"remove m", Make(CommandKind::Remove, [](Command& c) { c.name = "m"; })},
    {"restart m", Make(CommandKind::Restart, [](Command& c) { c.name = "m"; })},
    {"sleep", Make(CommandKind::Sleep)},
    {"wake", Make(CommandKind::Wake)},
    {"wait 5ms", Make(CommandKind::Wait, [](Command& c) { c.duration = 50000; })},
    {"wait 2s", Make(CommandKind::Wait, [](Command& c) { c.duration = 20000000; })},
    {"wait 250us", Make(CommandKind::Wait, [](Command& c) { c.duration = 2500; })},
    {"unit m sends 90 3C 7f", Make(CommandKind::UnitSends, [](Command& c) { c.name = "m"; c.bytes = {0x90, 0x3C, 0x7F}; })},
    {"client open-all", Make(CommandKind::ClientOpenAll)},
    {"client close-all", Make(CommandKind::ClientCloseAll)},
    {"client list", Make(CommandKind::ClientList)},
    {"client write 0x3 F0 F7", Make(CommandKind::ClientWrite, [](Command& c) { c.number = 3; c.bytes = {0xF0, 0xF7}; })},
    {"client write-master 80 00", Make(CommandKind::ClientWriteMaster, [](Command& c) { c.bytes = {0x80, 0x00}; })},
    {"client capacity 16", Make(CommandKind::ClientCapacity, [](Command& c) { c.number = 16; })},
    {"open m as h", Make(CommandKind::Open, [](Command& c) { c.name = "m"; c.handle = "h"; })},
    {"read h", Make(CommandKind::Read, [](Command& c) { c.handle = "h"; })},
    {"read h 0x20", Make(CommandKind::Read, [](Command& c) { c.handle = "h"; c.count = 32; })},
    {"read h 1024 async", Make(CommandKind::Read, [](Command& c) { c.handle = "h"; c.count = 1024; c.async = true; })},
    {"query-remove m", Make(CommandKind::QueryRemove, [](Command& c) { c.name = "m"; })},
    {"cancel-remove m", Make(CommandKind::CancelRemove, [](Command& c) { c.name = "m"; })},
    {"query-stop m", Make(CommandKind::QueryStop, [](Command& c) { c.name = "m"; })},
    {"cancel-stop m", Make(CommandKind::CancelStop, [](Command& c) { c.name = "m"; })},
    {"plug m packet=512 startfails",
     Make(CommandKind::Plug, [](Command& c) {
         c.name = "m";
         c.plug = Plug(0, "2.24", 224, 0x2A, 512, {}, false);
         c.plug.startFails = true;
     })},
    {"expect read h pending", Make(CommandKind::ExpectRead, [](Command& c) { c.handle = "h"; c.texts = {"pending"}; })},
    {"expect read h cancelled", Make(CommandKind::ExpectRead, [](Command& c) { c.handle = "h"; c.texts = {"cancelled"}; })},
    {"expect power m D0", Make(CommandKind::ExpectPower, [](Command& c) { c.name = "m"; c.number = 1; })},
    {"expect power m D3", Make(CommandKind::ExpectPower, [](Command& c) { c.name = "m"; c.number = 4; })},
    {"expect started m", Make(CommandKind::ExpectStarted, [](Command& c) { c.name = "m"; })},
    {"expect problem m 10", Make(CommandKind::ExpectProblem, [](Command& c) { c.name = "m"; c.number = 10; })},
    {"write h 01", Make(CommandKind::Write, [](Command& c) { c.handle = "h"; c.bytes = {0x01}; })},
    {"close h", Make(CommandKind::Close, [](Command& c) { c.handle = "h"; })},
    {"expect display m \"Firmware V2.24   \"",
     Make(CommandKind::ExpectDisplay, [](Command& c) { c.name = "m"; c.texts = {"Firmware V2.24"}; })},
    {"expect display m \"say \\\"hi\\\"\" \"a\\\\b  \"",
     Make(CommandKind::ExpectDisplay, [](Command& c) { c.name = "m"; c.texts = {"say \"hi\"", "a\\b"}; })},
    {"expect display m \"# not a comment\" # a comment",
     Make(CommandKind::ExpectDisplay, [](Command& c) { c.name = "m"; c.texts = {"# not a comment"}; })},
    {"expect unit m received", Make(CommandKind::ExpectUnitReceived, [](Command& c) { c.name = "m"; })},
    {"expect unit m received B0 07 00",
     Make(CommandKind::ExpectUnitReceived, [](Command& c) { c.name = "m"; c.bytes = {0xB0, 0x07, 0x00}; })},
    {"expect client 1 90 40", Make(CommandKind::ExpectClient, [](Command& c) { c.number = 1; c.bytes = {0x90, 0x40}; })},
    {"expect list 0:224 3:0xE6", Make(CommandKind::ExpectList, [](Command& c) { c.list = {{0, 224}, {3, 230}}; })},
    {"expect list", Make(CommandKind::ExpectList)},
    {"expect child \"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}\"",
     Make(CommandKind::ExpectChild, [](Command& c) { c.texts = {"USB\\{0C5B002A-5E73-11d3-9D4E-00A0C9E17B35}"}; })},
    {"expect no-child", Make(CommandKind::ExpectNoChild)},
    {"expect read h 90 3C 7F", Make(CommandKind::ExpectRead, [](Command& c) { c.handle = "h"; c.bytes = {0x90, 0x3C, 0x7F}; })},
    {"expect registry m CurrentAlternate=1 UsbBulkMode=0",
     Make(CommandKind::ExpectRegistry, [](Command& c) { c.name = "m"; c.settings = {{"CurrentAlternate", 1}, {"UsbBulkMode", 0}}; })},
    {"plug m reports=ahead buffer=64",
     Make(CommandKind::Plug, [](Command& c) { c.name = "m"; c.plug.reportsAhead = true; c.plug.buffer = 64; })},
    {"plug m reports=behind", Make(CommandKind::Plug, [](Command& c) { c.name = "m"; })},
    {"client write 2 pattern 7", Make(CommandKind::ClientWrite, [](Command& c) {
         c.number = 2;
         c.bytes = {0xB0, 0x00, 0x00, 0xB1, 0x01, 0x00, 0xB2};
     })},
    {"expect unit m received pattern 0", Make(CommandKind::ExpectUnitReceived, [](Command& c) { c.name = "m"; })},
    {"expect unit m lost 12", Make(CommandKind::ExpectUnitLost, [](Command& c) { c.name = "m"; c.count = 12; })},
    {"\t plug   m   id=1  # trailing comment", Make(CommandKind::Plug, [](Command& c) { c.name = "m"; c.plug = Plug(1, "2.24", 224, 0x2A, 64, {}, false); })},
};

TEST(ScenarioParserGood, EveryCommandGetsItsTypedArguments) {
    for (const GoodLine& good : kGoodLines) {
        Command expected = good.expected;
        expected.line = 1;
        Command parsed = Single(good.text);
        EXPECT_EQ(parsed.line, 1) << good.text;
        EXPECT_EQ(Describe(parsed), Describe(expected)) << good.text;
    }
}

struct BadText {
    const char* text;
    int line;
    const char* fragment;
};

const BadText kBadTexts[] = {
    {"jump m", 1, "unknown command 'jump'"},
    {"client", 1, "missing client command (open-all, close-all, list, write, write-master, capacity)"},
    {"client openall", 1, "unknown client command 'openall'"},
    {"expect nothing", 1, "unknown expect command 'nothing'"},
    {"\"plug\" m", 1, "must start with a command"},
    {"plug", 1, "missing unit NAME (usage: plug NAME"},
    {"plug 3m", 1, "'3m' is not a name"},
    {"plug m colour=red", 1, "unknown option 'colour'"},
    {"plug m loud", 1, "unknown option 'loud'"},
    {"plug m id=1 id=2", 1, "'id' is given twice"},
    {"plug m id=256", 1, "id: '256' is out of range (at most 255)"},
    {"plug m id=-1", 1, "id: '-1' is not a number"},
    {"plug m fw=2.4", 1, "fw: '2.4' is not a version D.DD"},
    {"plug m fw=224", 1, "is not a version D.DD"},
    {"plug m product=0x10000", 1, "product: '0x10000' is out of range"},
    {"plug m packet=0", 1, "packet size must be at least 1"},
    {"plug m reports=sideways", 1, "reports: 'sideways' is neither ahead nor behind"},
    {"plug m buffer=1", 1, "buffer: the MIDI-out buffer must hold at least 2 bytes"},
    {"unit m sends pattern", 1, "missing pattern length"},
    {"unit m sends pattern 3 90", 1, "unexpected '90' at the end"},
    {"expect unit m lost", 1, "missing byte count"},
    {"expect unit m lost 3 4", 1, "unexpected '4' at the end"},
    {"plug m bulkmode=0x", 1, "bulkmode: '0x' is not a number"},
    {"unplug", 1, "missing unit NAME (usage: unplug NAME)"},
    {"remove m now", 1, "unexpected 'now' at the end (usage: remove NAME)"},
    {"sleep 5ms", 1, "unexpected '5ms' at the end"},
    {"wait", 1, "missing DURATION"},
    {"wait 5", 1, "duration '5' has no unit"},
    {"wait 5min", 1, "unknown unit 'min'"},
    {"wait ms", 1, "expected a number and a unit"},
    {"wait 99999999999ms", 1, "out of range"},
    {"unit m sends", 1, "missing bytes"},
    {"unit m send 90", 1, "expected 'sends', found 'send'"},
    {"unit m sends 0G", 1, "bad byte '0G'"},
    {"unit m sends 123", 1, "bad byte '123'"},
    {"unit m sends 9", 1, "bad byte '9'"},
    {"unit m sends 0x90", 1, "bad byte '0x90'"},
    {"client write 90", 1, "missing bytes"},
    {"client write x 90", 1, "device ID: 'x' is not a number"},
    {"client write-master", 1, "missing bytes"},
    {"client capacity", 1, "missing capacity"},
    {"client open-all now", 1, "unexpected 'now'"},
    {"open m h", 1, "expected 'as', found 'h'"},
    {"open m as", 1, "missing HANDLE"},
    {"read h many", 1, "byte count: 'many' is not a number"},
    {"read h 4294967295", 1, "byte count: '4294967295' is out of range (at most 1024)"},
    {"read h 1025 async", 1, "out of range (at most 1024)"},
    {"read h 16 later", 1, "unexpected 'later' at the end"},
    {"read h async", 1, "byte count: 'async' is not a number"},
    {"expect read h done", 1, "bad byte 'done'"},
    {"expect read h pending 90", 1, "unexpected '90' at the end"},
    {"expect power m D4", 1, "expected a device power state D0, D1, D2 or D3, found 'D4'"},
    {"expect power m", 1, "missing D0 to D3"},
    {"expect started", 1, "missing unit NAME"},
    {"expect problem m", 1, "missing problem code"},
    {"query-remove", 1, "missing unit NAME (usage: query-remove NAME)"},
    {"cancel-stop m now", 1, "unexpected 'now' at the end (usage: cancel-stop NAME)"},
    {"write h", 1, "missing bytes"},
    {"close", 1, "missing HANDLE"},
    {"expect display m", 1, "missing line 1 (a text in double quotes)"},
    {"expect display m Hello", 1, "line 1 must be in double quotes, found 'Hello'"},
    {"expect display m \"a\" \"b\" \"c\"", 1, "unexpected 'c' at the end"},
    {"expect display m \"unterminated", 1, "unterminated text"},
    {"expect display m \"a\"\"b\"", 1, "a blank must follow the closing"},
    {"expect display m a\"b\"", 1, "a \" inside a word"},
    {"expect unit m got 90", 1, "expected 'received', found 'got'"},
    {"expect client 0 9", 1, "bad byte '9'"},
    {"expect list 0-224", 1, "expected ID:VERSION such as 0:224, found '0-224'"},
    {"expect list 0:", 1, "VERSION: '' is not a number"},
    {"expect child USB", 1, "hardware ID must be in double quotes"},
    {"expect child", 1, "missing hardware ID"},
    {"expect no-child m", 1, "unexpected 'm'"},
    {"expect registry m", 1, "missing VALUE=N"},
    {"expect registry m CurrentAlternate", 1, "expected VALUE=N, found 'CurrentAlternate'"},
    {"expect registry m A=1 A=2", 1, "'A' is given twice"},
    {"service", 1, "missing a setting"},
    {"service Interface=2 Colour=1", 1, "unknown setting 'Colour'"},
    {"service Interface=two", 1, "Interface: 'two' is not a number"},
    {"service Interface=4294967296", 1, "out of range"},
    {"# header\n\nplug m\n  # indented comment\nservice Interface=1", 5, "service must come before the first plug"},
    {"plug m\nwait 1ms\r\nwait 1h", 3, "unknown unit 'h'"},
};

TEST(ScenarioParserBad, MalformedLinesAreReportedWithFileLineAndCause) {
    for (const BadText& bad : kBadTexts) {
        auto parsed = scenario::ParseScenario(bad.text, "bad.scn");
        auto* error = std::get_if<ParseError>(&parsed);
        if (!error) {
            ADD_FAILURE() << "accepted: " << bad.text;
            continue;
        }
        EXPECT_EQ(error->file, "bad.scn");
        EXPECT_EQ(error->line, bad.line) << bad.text;
        EXPECT_NE(error->message.find(bad.fragment), std::string::npos)
            << bad.text << "\n  message: " << error->message << "\n  wanted: " << bad.fragment;
    }
}

// A message carries the offending word's control bytes as escapes: a NUL in it once cut the
// message short, to nothing when the word began with one.
TEST(ScenarioParserBad, ControlBytesInAWordAreShownAsEscapes) {
    using namespace std::string_literals;
    const std::pair<std::string, const char*> cases[] = {
        {"service \0\0e="s, "\\x00\\x00e: '' is not a number"},
        {"plug m \x01=2"s, "unknown option '\\x01'"},
        {"jump\x7f"s, "unknown command 'jump\\x7f'"},
    };
    for (const auto& [text, fragment] : cases) {
        auto parsed = scenario::ParseScenario(text, "bad.scn");
        auto* error = std::get_if<ParseError>(&parsed);
        ASSERT_NE(error, nullptr) << fragment;
        EXPECT_NE(error->message.find(fragment), std::string::npos) << error->message;
        for (char c : error->message) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) << error->message;
    }
}

TEST(ScenarioParserFile, CommandsKeepTheirLineNumbersAcrossCommentsAndBlankLines) {
    auto parsed = scenario::ParseScenario("# a scenario\nservice Interface=2\n\nplug m   # master\r\n   \nwait 1ms",
                                          "lines.scn");
    ASSERT_TRUE(std::holds_alternative<Scenario>(parsed));
    const Scenario& s = std::get<Scenario>(parsed);
    EXPECT_EQ(s.file, "lines.scn");
    ASSERT_EQ(s.commands.size(), 3u);
    EXPECT_EQ(s.commands[0].line, 2);
    EXPECT_EQ(s.commands[1].line, 4);
    EXPECT_EQ(s.commands[1].name, "m");
    EXPECT_EQ(s.commands[2].line, 6);
}

TEST(ScenarioParserFile, AMissingFileIsAnErrorWithoutALine) {
    auto parsed = scenario::ParseScenarioFile("/nonexistent/dir/x.scn");
    auto* error = std::get_if<ParseError>(&parsed);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->file, "/nonexistent/dir/x.scn");
    EXPECT_EQ(error->line, 0);
    EXPECT_NE(error->message.find("cannot read"), std::string::npos);
}

}  // namespace
