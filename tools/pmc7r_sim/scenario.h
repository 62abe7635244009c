// A scenario as the parser hands it to the executor: one Command per command line, with its
// arguments already typed. Which fields a command fills is listed beside its kind; the rest
// keep their defaults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scenario {

enum class CommandKind {
    Service,             // settings (Interface, Alternate, AlternateBulk)
    Plug,                // name, plug
    Unplug,              // name
    Remove,              // name
    Restart,             // name
    Sleep,               //
    Wake,                //
    Wait,                // duration
    UnitSends,           // name, bytes
    ClientOpenAll,       //
    ClientCloseAll,      //
    ClientList,          //
    ClientWrite,         // number (device ID), bytes
    ClientWriteMaster,   // bytes
    ClientCapacity,      // number
    Open,                // name (unit), handle
    Read,                // handle, count (when given), async
    Write,               // handle, bytes
    Close,               // handle
    QueryRemove,         // name
    CancelRemove,        // name
    QueryStop,           // name
    CancelStop,          // name
    ExpectDisplay,       // name, texts (one or two lines, trailing blanks removed)
    ExpectUnitReceived,  // name, bytes (may be empty)
    ExpectClient,        // number (tag), bytes (may be empty)
    ExpectList,          // list (may be empty)
    ExpectChild,         // texts[0] (hardware ID)
    ExpectNoChild,       //
    ExpectRead,          // handle, and texts[0] "pending" or "cancelled", or bytes (may be empty)
    ExpectRegistry,      // name, settings (value names as written)
    ExpectUnitLost,      // name, count (bytes the unit's MIDI out dropped since the last such expect)
    ExpectPower,         // name, number (the device power state, 1 = D0 to 4 = D3)
    ExpectStarted,       // name
    ExpectProblem,       // name, number (the node's problem code)
};

// The largest count a read may ask for: eight times the unit's input ring, more than any read
// can return.
inline constexpr uint32_t kMaxReadCount = 1024;

// What `plug` sets up; the defaults are those of a plain PMC-7R master.
struct PlugOptions {
    uint32_t deviceId = 0;       // id=, 0..255 so that invalid IDs can be tried
    std::string firmware = "2.24";  // fw=D.DD, as the unit reports it
    uint32_t version = 224;      // the same in hundredths
    uint16_t product = 0x002A;
    uint16_t vendor = 0x0C5B;
    uint16_t packet = 64;        // wMaxPacketSize, 1..1024
    std::optional<uint32_t> bulkMode;  // "UsbBulkMode" in the driver key; none: no value
    bool silent = false;
    bool reportsAhead = false;  // reports=ahead: busy and ready overtake the unit's queued input
    std::optional<uint32_t> buffer;  // buffer=N: the MIDI-out buffer's bytes (busy at half full)
    bool startFails = false;     // the bus fails the device's start
};

// The bytes `pattern N` stands for: control changes on the 16 channels with changing
// controller numbers and values, cut at N bytes; never an FF or a SysEx.
std::vector<uint8_t> PatternBytes(uint32_t count);

struct Setting {
    std::string name;
    uint32_t value = 0;
    bool operator==(const Setting&) const = default;
};

struct ListEntry {
    uint32_t id = 0;
    uint32_t version = 0;
    bool operator==(const ListEntry&) const = default;
};

struct Command {
    CommandKind kind = CommandKind::Sleep;
    int line = 0;
    std::string name;
    std::string handle;
    uint32_t number = 0;
    std::optional<uint32_t> count;
    bool async = false;
    std::vector<uint8_t> bytes;
    int64_t duration = 0;  // 100 ns units, as host::Now()
    std::vector<std::string> texts;
    std::vector<Setting> settings;
    std::vector<ListEntry> list;
    PlugOptions plug;
};

struct Scenario {
    std::string file;
    std::vector<Command> commands;
};

struct ParseError {
    std::string file;
    int line = 0;  // 0 when the file could not be read
    std::string message;
};

// The command's name as a scenario spells it, e.g. "expect unit".
const char* CommandName(CommandKind kind);
// Expectations check what happened; the other commands make something happen.
bool IsExpectation(CommandKind kind);

}  // namespace scenario
