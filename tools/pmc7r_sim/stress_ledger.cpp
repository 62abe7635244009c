#include "tools/pmc7r_sim/stress_ledger.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace simtool::stress {
namespace {

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string Hex(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    std::string out;
    char pair[4];
    for (size_t i = from; i < bytes.size() && i < from + count; ++i) {
        std::snprintf(pair, sizeof pair, "%02X ", bytes[i]);
        out += pair;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

std::string TimeMs(int64_t t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", double(t) / 10000.0);
    return text;
}

// The first s in [from, to] with want[s, s+n) == got; -1 when there is none. A byte is
// made by its index, so a run matches at one place only (or, for a few 4-bit bytes, at the
// first of a few).
template <typename Make>
int64_t FindRun(const std::vector<uint8_t>& got, uint64_t from, uint64_t to, uint64_t limit, Make make) {
    for (uint64_t s = from; s <= to && s + got.size() <= limit; ++s) {
        size_t i = 0;
        while (i < got.size() && make(s + i) == got[i]) ++i;
        if (i == got.size()) return int64_t(s);
    }
    return -1;
}

// Where the run of got departs from want at its best start: for the report.
template <typename Make>
std::string Mismatch(const std::vector<uint8_t>& got, uint64_t from, uint64_t limit, Make make, size_t* at = nullptr) {
    size_t bestLength = 0;
    uint64_t bestStart = from;
    for (uint64_t s = from; s < limit; ++s) {
        size_t i = 0;
        while (i < got.size() && s + i < limit && make(s + i) == got[i]) ++i;
        if (i > bestLength) bestLength = i, bestStart = s;
    }
    if (at) *at = bestLength;
    std::vector<uint8_t> want;
    for (uint64_t k = bestStart + bestLength; k < limit && want.size() < 8; ++k) want.push_back(make(k));
    return "the longest match is " + std::to_string(bestLength) + " bytes from index " + std::to_string(bestStart) +
           "; then got " + Hex(got, bestLength, 8) + ", expected " + Hex(want, 0, 8);
}

struct Segment {
    std::vector<uint8_t> raw;
    std::vector<int64_t> times;  // the read that brought each byte
};

// Do the data bytes from raw[at] on run as bytes the unit sent? (Eight of them, random
// 7-bit values, do not match by chance.)
bool RunsAsSent(const std::vector<uint8_t>& raw, size_t at, const std::vector<uint8_t>& input) {
    constexpr size_t kWindow = 8;
    if (at + kWindow > raw.size()) return false;
    for (size_t k = 0; k < kWindow; ++k)
        if (raw[at + k] >= 0x80) return false;
    for (size_t q = 0; q + kWindow <= input.size(); ++q)
        if (std::equal(raw.begin() + long(at), raw.begin() + long(at + kWindow), input.begin() + long(q))) return true;
    return false;
}

// The start of the epoch in force at t, or -1 before the first.
int64_t EpochAt(const std::vector<Epoch>& epochs, int64_t t) {
    int64_t start = -1;
    for (const Epoch& e : epochs)
        if (e.start <= t) start = e.start;
    return start;
}

// The segment's bytes without SysEx, and the time of each one's read. A restart of the
// stream (an open-all moves the client's cursor to the present, wherever a message is) may
// cut a SysEx: one whose end it skipped ends where the unit's own bytes go on (a run of them
// as sent, or the next message's status byte: what the new epoch brought before it was the
// unit's), one whose start it skipped is the data bytes the new epoch begins with up to an
// F7. Such cuts are sound only across the start of an epoch.
std::vector<uint8_t> Filtered(const Segment& segment, const std::vector<uint8_t>& input,
                              const std::vector<Epoch>& epochs, std::vector<int64_t>* times,
                              std::vector<size_t>* raw, std::vector<std::string>* cuts) {
    std::vector<uint8_t> out;
    auto keep = [&](size_t i) { out.push_back(segment.raw[i]), times->push_back(segment.times[i]), raw->push_back(i); };
    bool inside = false;
    int64_t openedAt = 0;
    size_t tailFrom = SIZE_MAX;  // where the bytes of a new epoch began, while only data came
    std::vector<size_t> held;    // data inside a SysEx, read in a later epoch than its F0
    for (size_t i = 0; i < segment.raw.size(); ++i) {
        uint8_t b = segment.raw[i];
        if (i == 0 || EpochAt(epochs, segment.times[i]) != EpochAt(epochs, segment.times[i - 1])) tailFrom = out.size();
        if (b >= 0x80) {
            if (b == 0xF7 && !inside && tailFrom != SIZE_MAX) {
                out.resize(tailFrom), times->resize(tailFrom), raw->resize(tailFrom);
            }
            tailFrom = SIZE_MAX;
            if (b < 0xF8) {
                if (inside && b != 0xF7)
                    for (size_t k : held) keep(k);
                held.clear();
                inside = b == 0xF0;
            }
            if (b == 0xF0) openedAt = segment.times[i];
            continue;
        }
        if (inside && RunsAsSent(segment.raw, i, input)) {
            inside = false;
            for (size_t k : held) keep(k);
            held.clear();
            bool across = false;
            for (const Epoch& e : epochs) across = across || (e.start >= openedAt && e.start <= segment.times[i]);
            if (!across)
                cuts->push_back("a SysEx read at " + TimeMs(openedAt) + " never ended; the unit's bytes went on at " +
                                TimeMs(segment.times[i]) + " with no restart of the stream between");
        }
        if (!inside) {
            keep(i);
        } else if (EpochAt(epochs, segment.times[i]) != EpochAt(epochs, openedAt)) {
            held.push_back(i);
        }
    }
    return out;
}

// A skip in a life's input is sound only for bytes that were in the unit's ring or the unit
// when the client's stream restarted (an open-all, or the master's return): sent no later
// than the start of the epoch in force when the next byte arrived.
void CheckInput(const Ledger& ledger, bool final, std::vector<std::string>* out) {
    const size_t lives = ledger.lives.size();
    std::vector<Segment> segments(lives);
    auto epochAt = [&](int64_t t) { return EpochAt(ledger.epochs, t); };
    // A read during an open-all (after the epoch before it ended, before the new one began)
    // may already see the restart: what was sent before the call's return may be skipped.
    auto skipBound = [&](int64_t t) {
        for (size_t e = ledger.epochs.size(); e-- > 0;) {
            if (ledger.epochs[e].start > t) continue;
            if (ledger.epochs[e].end <= t && e + 1 < ledger.epochs.size()) return ledger.epochs[e + 1].start;
            return ledger.epochs[e].start;
        }
        return int64_t(-1);
    };
    for (const ClientRead& read : ledger.reads) {
        int life = -1;
        for (size_t i = 0; i < lives; ++i)
            if (ledger.lives[i].unit == int(read.id) && ledger.lives[i].plugAt <= read.time) life = int(i);
        if (life < 0 || epochAt(read.time) < 0) {
            out->push_back("input: a read tagged ID " + std::to_string(read.id) + " at " + TimeMs(read.time) +
                           (life < 0 ? " while no unit of that ID had been plugged" : " before any open-all"));
            continue;
        }
        Segment& segment = segments[size_t(life)];
        segment.raw.insert(segment.raw.end(), read.bytes.begin(), read.bytes.end());
        segment.times.insert(segment.times.end(), read.bytes.size(), read.time);
    }
    for (size_t i = 0; i < lives; ++i) {
        const Life& life = ledger.lives[i];
        const size_t n = life.input.size();
        auto sentAt = [&](uint64_t k) {
            int64_t t = 0;
            for (const Send& send : life.sends) {
                if (send.first > k) break;
                t = send.time;
            }
            return t;
        };
        std::string who = "input of unit " + std::to_string(life.unit) + " (life " + std::to_string(i) + ")";
        std::vector<int64_t> times;
        std::vector<size_t> rawAt;
        std::vector<std::string> cuts;
        std::vector<uint8_t> got = Filtered(segments[i], life.input, ledger.epochs, &times, &rawAt, &cuts);
        for (const std::string& cut : cuts) out->push_back(who + ": " + cut);
        // Where the next bytes read were sent: the first index from `from` on where they run
        // as read for a window of 8, fewer where the run or its epoch ends first (the next
        // epoch may start anywhere).
        std::vector<int64_t> epochOf(got.size());
        for (size_t k = 0; k < got.size(); ++k) epochOf[k] = epochAt(times[k]);
        auto resumeAt = [&](size_t g, uint64_t from) {
            size_t window = 0;
            while (window < 8 && g + window < got.size() && epochOf[g + window] == epochOf[g]) ++window;
            for (uint64_t q = from; q + window <= n; ++q) {
                size_t k = 0;
                while (k < window && life.input[q + k] == got[g + k]) ++k;
                if (k == window) return int64_t(q);
            }
            return int64_t(-1);
        };
        uint64_t p = 0;
        for (size_t g = 0; g < got.size();) {
            // A new epoch may start anywhere in the input: one byte that happens to equal the
            // next expected one says nothing, the window does.
            bool fresh = g == 0 || epochOf[g] != epochOf[g - 1];
            int64_t resumed = fresh ? resumeAt(g, p) : -1;
            if (resumed == int64_t(p) || (resumed < 0 && p < n && life.input[p] == got[g])) {
                ++p, ++g;
                continue;
            }
            if (resumed < 0) resumed = resumeAt(g, p + 1);
            size_t raw = rawAt[g];
            std::string as = "; as read: " + Hex(segments[i].raw, raw - std::min<size_t>(raw, 16), 40);
            if (resumed < 0) {
                out->push_back(who + ": the bytes read at " + TimeMs(times[g]) + " after its first " + std::to_string(p) +
                               " were never sent after them (" + Hex(got, g, 8) + ")" + as);
                break;
            }
            int64_t epoch = std::max(skipBound(times[g]), life.readyAt == kNever ? 0 : life.readyAt);
            int64_t lastSkipped = sentAt(uint64_t(resumed) - 1);
            if (lastSkipped > epoch)
                out->push_back(who + ": bytes " + std::to_string(p) + " to " + std::to_string(resumed) + " (sent " +
                               TimeMs(sentAt(p)) + " to " + TimeMs(lastSkipped) +
                               ") never reached the client; the stream went on at " + TimeMs(times[g]) +
                               ", in the epoch from " + TimeMs(epoch) + as);
            p = uint64_t(resumed);
        }
        // The end: a life that stayed, in the last epoch, loses only what was sent before it.
        bool last = final && life.leftAt == kNever && !ledger.epochs.empty() && ledger.epochs.back().end == kNever;
        if (last && p < n) {
            int64_t epoch = std::max(ledger.epochs.back().start, life.readyAt);
            if (sentAt(n - 1) > epoch)
                out->push_back(who + ": its last " + std::to_string(n - p) + " bytes (sent from " + TimeMs(sentAt(p)) +
                               ") never reached the client, and it stayed to the end");
        }
    }
}

int64_t FirstCertainWrite(const Stream& stream, const Life& life) {
    for (const Write& w : stream.writes)
        if (w.start > life.arrivedAt && w.start < life.leftAt && w.taken > 0) return int64_t(w.first);
    return -1;
}

uint64_t FirstPossibleWrite(const Stream& stream, const Life& life) {
    for (const Write& w : stream.writes)
        if (w.end >= life.plugAt) return w.first;
    return stream.taken;
}

void CheckStream(const Ledger& ledger, size_t lifeIndex, const Stream& stream, const std::vector<uint8_t>& got,
                 bool final, std::vector<std::string>* out) {
    const Life& life = ledger.lives[lifeIndex];
    auto make = [&](uint64_t k) { return OutputByte(stream.writer, stream.salt, k); };
    std::string where = "output of writer " + std::to_string(stream.writer) + " at unit " + std::to_string(life.unit) +
                        " (life " + std::to_string(lifeIndex) + ")";
    bool stayed = final && life.leftAt == kNever;
    // On the way, a write still running may have delivered bytes it has not yet counted.
    uint64_t limit = final ? stream.taken : stream.taken + 4096;
    uint64_t from = stream.life >= 0 ? 0 : FirstPossibleWrite(stream, life);
    int64_t certain = stream.life >= 0 ? (stream.taken ? 0 : -1) : FirstCertainWrite(stream, life);
    int64_t s = 0;
    if (!got.empty()) {
        uint64_t to = stream.life >= 0 ? 0 : limit;
        s = FindRun(got, from, to, limit, make);
        if (s < 0) {
            out->push_back(where + ": its " + std::to_string(got.size()) + " bytes are not a run of the " +
                           std::to_string(stream.taken) + " bytes the driver took; " + Mismatch(got, from, limit, make));
            return;
        }
        if (certain >= 0 && s > certain)
            out->push_back(where + ": bytes " + std::to_string(certain) + " to " + std::to_string(s) +
                           " that the driver took never reached the unit");
    } else if (certain >= 0 && (stayed || (final && stream.reachedUnit))) {
        out->push_back(where + ": none of the bytes the driver took reached the unit");
        return;
    }
    uint64_t end = uint64_t(s) + got.size();
    if (final && (stayed || stream.reachedUnit) && certain >= 0 && end < stream.taken)
        out->push_back(where + ": the last " + std::to_string(stream.taken - end) + " of the " +
                       std::to_string(stream.taken) + " bytes the driver took never reached the unit" +
                       (stream.reachedUnit ? " (the writes said they had)" : " (it stayed to the end)"));
}

void CheckOutput(const Ledger& ledger, const std::vector<std::vector<uint8_t>>& midiOut,
                 const std::vector<size_t>& overflow, bool final, std::vector<std::string>* out) {
    for (size_t i = 0; i < ledger.lives.size() && i < midiOut.size(); ++i) {
        const Life& life = ledger.lives[i];
        if (i < overflow.size() && overflow[i] != 0)
            out->push_back("unit " + std::to_string(life.unit) + " (life " + std::to_string(i) + "): its MIDI out dropped " +
                           std::to_string(overflow[i]) + " bytes");
        std::vector<std::vector<uint8_t>> byWriter(kWriterCount);
        for (uint8_t b : WithoutSysEx(midiOut[i])) byWriter[b >> 4].push_back(b);
        for (int w = 0; w < kWriterCount; ++w) {
            std::vector<const Stream*> mine;
            for (const Stream& s : ledger.streams) {
                if (s.writer != w) continue;
                if (s.life >= 0 ? s.life == int(i) : s.id == uint32_t(life.unit)) mine.push_back(&s);
            }
            if (mine.empty()) {
                if (!byWriter[w].empty())
                    out->push_back("unit " + std::to_string(life.unit) + " (life " + std::to_string(i) + ") got " +
                                   std::to_string(byWriter[w].size()) + " bytes of writer " + std::to_string(w) +
                                   ", which never wrote to it: " + Hex(byWriter[w], 0, 8));
                continue;
            }
            // One stream a writer and life: a handle's writer keeps one per life it opened.
            CheckStream(ledger, i, *mine.front(), byWriter[w], final, out);
        }
    }
}

}  // namespace

uint8_t InputByte(uint64_t salt, uint64_t k) { return uint8_t(Mix(salt * 0x100000001B3ull + k) & 0x7F); }

uint8_t OutputByte(int writer, uint64_t salt, uint64_t k) {
    return uint8_t((writer << 4) | (Mix(salt * 0x100000001B3ull + k) & 0x0F));
}

std::vector<uint8_t> WithoutSysEx(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    bool inside = false;
    for (uint8_t b : bytes) {
        if (b >= 0x80) {
            if (b < 0xF8) inside = b == 0xF0;  // real-time bytes change nothing
            continue;
        }
        if (!inside) out.push_back(b);
    }
    return out;
}

std::vector<std::string> Check(const Ledger& ledger, const std::vector<std::vector<uint8_t>>& midiOut,
                               const std::vector<size_t>& overflow, bool final) {
    std::vector<std::string> out;
    CheckInput(ledger, final, &out);
    CheckOutput(ledger, midiOut, overflow, final, &out);
    return out;
}

}  // namespace simtool::stress
