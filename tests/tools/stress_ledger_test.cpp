// The stress run's input check on small ledgers: what a restart of the client's stream may
// lose and what it may not.
#include <gtest/gtest.h>

#include "tools/pmc7r_sim/stress_ledger.h"

namespace {

using namespace simtool::stress;

constexpr int64_t kMs = 10000;

struct Read {
    size_t first, count;  // of the life's input
    int64_t atMs;
    std::vector<uint8_t> before = {};  // what the read brought ahead of them
};

// One life that sent `input` in sends of 10 bytes, 10 ms apart from 100 ms on; the client
// read `reads` under epochs starting at `epochs` (ms).
std::vector<std::string> CheckReads(const std::vector<uint8_t>& input, const std::vector<int64_t>& epochs,
                                    const std::vector<Read>& reads, int64_t callMs = 0) {
    Ledger ledger;
    Life life;
    life.unit = 1;
    life.plugAt = 0;
    life.arrivedAt = 50 * kMs;
    life.readyAt = 60 * kMs;
    life.input = input;
    for (size_t k = 0; k < input.size(); k += 10) life.sends.push_back({int64_t(100 + k) * kMs, k});
    ledger.lives.push_back(life);
    for (size_t e = 0; e < epochs.size(); ++e) {
        ledger.epochs.push_back({epochs[e] * kMs});
        if (e > 0) ledger.epochs[e - 1].end = (epochs[e] - callMs) * kMs;  // the open-all began callMs before
    }
    for (const Read& r : reads) {
        std::vector<uint8_t> bytes = r.before;
        bytes.insert(bytes.end(), input.begin() + long(r.first), input.begin() + long(r.first + r.count));
        ledger.reads.push_back({r.atMs * kMs, 1, bytes});
    }
    ledger.endAt = 10000 * kMs;
    return Check(ledger, {{}}, {0}, false);
}

std::vector<uint8_t> Input() {
    std::vector<uint8_t> input(100);
    for (size_t k = 0; k < input.size(); ++k) input[k] = uint8_t((k * 37 + 11) % 0x80);
    return input;
}

// The bytes 20 to 69 were sent before the epoch from 165 ms and never read: a loss the
// restart may cause, even where the first byte read after it equals the next one expected
// (once taken for a continued run, which moved the skip one byte into the new epoch).
TEST(StressLedger, ARestartOfTheStreamMayLoseWhatWasSentBeforeIt) {
    std::vector<uint8_t> input = Input();
    input[20] = input[70];
    std::vector<std::string> breaches = CheckReads(input, {60, 165}, {{0, 20, 125}, {70, 30, 175}});
    EXPECT_TRUE(breaches.empty()) << breaches[0];
}

// A restart of the stream between the packets of a SysEx reply: the new epoch starts with
// its tail, data bytes up to F7, which are no input of the unit's.
TEST(StressLedger, ANewEpochMayStartWithTheTailOfACutSysEx) {
    std::vector<uint8_t> input = Input();
    EXPECT_TRUE(CheckReads(input, {60, 165}, {{0, 20, 125}, {70, 30, 175, {0x7E, 0x7F, 0x06, 0x02, 0xF7}}}).empty());
    // Inside an epoch such bytes are a fault.
    std::vector<std::string> breaches = CheckReads(input, {60}, {{0, 20, 125}, {20, 10, 175, {0x7E, 0x7F, 0xF7}}});
    EXPECT_EQ(1u, breaches.size());
}

// An epoch that brought fewer bytes than the window before the next began: its run is
// matched by what it has.
// A restart of the stream cut a SysEx after its F0; the few bytes the unit sent next came
// before the next reply's F0, too few to be told by a run of them: the next status byte says
// the cut one was over.
TEST(StressLedger, BytesAfterACutSysExAreTheUnitsUntilTheNextMessage) {
    std::vector<uint8_t> input = Input();
    std::vector<std::string> breaches = CheckReads(
        input, {60, 165}, {{0, 20, 125}, {0, 0, 160, {0xF0, 0x7E, 0x7F}}, {70, 4, 175}, {74, 10, 185, {0xF0, 0x7E, 0xF7}}});
    EXPECT_TRUE(breaches.empty()) << breaches[0];
}

TEST(StressLedger, AShortEpochIsMatchedByItsOwnBytes) {
    std::vector<uint8_t> input = Input();
    EXPECT_TRUE(CheckReads(input, {60, 165, 300}, {{0, 20, 125}, {70, 5, 175}, {90, 10, 305}}).empty());
}

// The open-all that began at 160 ms and returned at 180 ms restarted the stream inside the
// call: a read at 175 ms may skip what was sent at 160 ms.
TEST(StressLedger, AReadDuringAnOpenAllMaySeeItsRestart) {
    std::vector<uint8_t> input = Input();
    std::vector<std::string> breaches = CheckReads(input, {60, 180}, {{0, 60, 161}, {70, 5, 175}}, 20);
    EXPECT_TRUE(breaches.empty()) << breaches[0];
}

TEST(StressLedger, BytesSentAfterTheRestartMustNotBeLost) {
    std::vector<uint8_t> input = Input();
    input[20] = input[80];
    std::vector<std::string> breaches = CheckReads(input, {60, 165}, {{0, 20, 125}, {80, 10, 185}});
    ASSERT_EQ(1u, breaches.size());
    EXPECT_NE(std::string::npos, breaches[0].find("bytes 20 to 80")) << breaches[0];
    // Inside one epoch no skip is sound.
    breaches = CheckReads(input, {60}, {{0, 20, 125}, {30, 10, 140}});
    ASSERT_EQ(1u, breaches.size());
    EXPECT_NE(std::string::npos, breaches[0].find("bytes 20 to 30")) << breaches[0];
}

}  // namespace
