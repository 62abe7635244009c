// Latency on the virtual clock: input from the bus to the client's and a file's read, and
// output from the client's write to the unit's MIDI wire.
#include <atomic>
#include <cstdio>
#include <memory>

#include "platform/host/control.h"
#include "sim/app_model.h"
#include "sim/pmc7r_descriptors.h"
#include "tools/pmc7r_sim/bench_rig.h"
#include "tools/pmc7r_sim/bench_workloads.h"

namespace simtool::bench {
namespace {

constexpr int kUnits = 8;
constexpr size_t kMessageSize = 3;

// Pieces of one unit's stream in order: when each arrived and how many bytes it held.
struct Piece {
    int64_t time;
    size_t count;
};
using Pieces = std::vector<Piece>;

// When the byte at this offset of the stream arrived; -1 if it never did.
int64_t TimeOfByte(const Pieces& pieces, size_t offset) {
    size_t seen = 0;
    for (const Piece& p : pieces) {
        seen += p.count;
        if (offset < seen) return p.time;
    }
    return -1;
}

// A file handle that keeps one read in flight until it got what it expects or is stopped.
class FileReader {
public:
    FileReader(PDEVICE_OBJECT pdo, size_t expected) : expected_(expected) {
        file_ = host::files::Open(sim::Application::LinkOf(pdo), UserMode, &openStatus_);
    }
    ~FileReader() {
        Stop();
        if (file_) host::files::Close(file_);
    }
    bool Opened() const { return file_ != nullptr; }
    // Takes what the unit answered to being opened, so that the stream starts now.
    void Settle() {
        host::files::Token t = host::files::ReadAsync(file_, buffer_, sizeof buffer_);
        if (!host::WaitUntil([&] { return host::files::Done(t); }, host::Ms(1), "a settling read"))
            host::files::Cancel(t);
        host::files::Wait(t);
    }
    void Start() {
        thread_ = std::make_unique<host::Thread>("bench file reader", [this] { Run(); });
    }
    // Ends the reader: its running read is cancelled until it sees the stop.
    void Stop() {
        if (!thread_) return;
        stop_ = true;
        while (!done_) {
            host::files::Cancel(token_.load());
            host::WaitUntil([&] { return done_.load(); }, host::Ms(1), "the file reader's end");
        }
        thread_.reset();
    }
    bool Done() const { return done_; }
    const Pieces& Got() const { return pieces_; }

private:
    void Run() {
        size_t got = 0;
        while (!stop_ && got < expected_) {
            host::files::Token t = host::files::ReadAsync(file_, buffer_, sizeof buffer_);
            token_ = t;
            host::io::Result r = host::files::Wait(t);
            if (r.status != STATUS_SUCCESS) break;
            pieces_.push_back({host::Now(), size_t(r.information)});
            got += r.information;
        }
        done_ = true;
    }

    size_t expected_;
    NTSTATUS openStatus_ = STATUS_SUCCESS;
    host::files::File* file_ = nullptr;
    uint8_t buffer_[128];
    std::atomic<host::files::Token> token_{0};
    std::atomic<bool> stop_{false}, done_{false};
    Pieces pieces_;
    std::unique_ptr<host::Thread> thread_;
};

void AddLatencyRows(std::vector<BenchRow>* rows, const std::string& group, const std::string& what,
                    const std::vector<double>& samples, size_t missing, Bound bound) {
    for (int p50 = 1; p50 >= 0; --p50) {
        BenchRow row = Row(group, what + (p50 ? ", p50" : ", max"), "ms", bound);
        row.produced = !samples.empty();
        row.value = p50 ? Percentile(samples, 50) : Max(samples);
        if (missing) {
            row.broken = true;
            row.note = std::to_string(missing) + " of " + std::to_string(samples.size() + missing) + " never arrived";
        }
        rows->push_back(row);
    }
}

}  // namespace

void InputLatency(const Sizes& sizes, std::vector<BenchRow>* rows) {
    const std::string group = "input latency";
    std::vector<double> toClient, toFile;
    size_t missingClient = 0, missingFile = 0;
    std::string problem;
    host::Session session("bench input");
    {
        Rig rig;
        for (uint8_t id = 0; id < kUnits && rig.Loaded(); ++id) rig.Plug(id);
        if (!rig.Loaded() || !rig.Client().Attached() || !NT_SUCCESS(rig.OpenAll())) problem = "the client could not open the units";
        int perUnit = sizes.inputMessages / kUnits;
        std::vector<std::unique_ptr<FileReader>> readers;
        for (auto& unit : rig.Units()) readers.push_back(std::make_unique<FileReader>(unit->pdo, perUnit * kMessageSize));
        host::Advance(host::Ms(20));
        for (auto& r : readers)
            if (r->Opened()) r->Settle();
        rig.Client().TakeTimedReads();
        size_t logStart = rig.Bus().Log().size();
        for (auto& r : readers)
            if (r->Opened()) r->Start();

        // Messages take turns over the units at uneven gaps, so they meet the 1 ms frames at
        // every phase.
        for (int k = 0; k < perUnit * kUnits && problem.empty(); ++k) {
            rig.Units()[k % kUnits]->model->Send({0x90, uint8_t(k & 0x7F), uint8_t(1 + (k >> 7))});
            host::Advance(700 * 10 + (k * 373 % 1300) * 10);
        }
        host::WaitUntil([&] {
            for (auto& r : readers)
                if (r->Opened() && !r->Done()) return false;
            return true;
        }, host::Ms(100), "the file readers");
        for (auto& r : readers) r->Stop();

        std::vector<sim::UrbRecord> log = rig.Bus().Log();
        std::vector<sim::TimedRead> reads = rig.Client().TakeTimedReads();
        for (size_t u = 0; u < rig.Units().size() && problem.empty(); ++u) {
            const RigUnit& unit = *rig.Units()[u];
            Pieces in, client;
            for (size_t i = logStart; i < log.size(); ++i) {
                const sim::UrbRecord& r = log[i];
                if (r.pdo != unit.pdo || r.event != sim::UrbRecord::Event::Completed || !r.in ||
                    r.endpoint != sim::kPmc7rInEndpoint || r.status != STATUS_SUCCESS)
                    continue;
                size_t count = PacketInput(r.data).size();
                if (count) in.push_back({r.time, count});
            }
            for (const sim::TimedRead& r : reads)
                if (r.id == unit.id) client.push_back({r.time, r.count});
            const Pieces& file = readers[u]->Got();
            for (int m = 0; m < perUnit; ++m) {
                size_t last = m * kMessageSize + kMessageSize - 1;
                int64_t arrived = TimeOfByte(in, last);
                int64_t c = TimeOfByte(client, last), f = TimeOfByte(file, last);
                if (arrived < 0 || c < 0) ++missingClient;
                else toClient.push_back(double(c - arrived) / kMs);
                if (arrived < 0 || f < 0) ++missingFile;
                else toFile.push_back(double(f - arrived) / kMs);
            }
        }
        readers.clear();
    }
    std::string leaks = session.Finish();
    if (!leaks.empty()) problem += (problem.empty() ? "" : "; ") + std::string("the run left something behind");
    size_t before = rows->size();
    Bound same{Bound::Kind::AtMost, 0};
    AddLatencyRows(rows, group, "IN packet -> client read", toClient, missingClient, same);
    AddLatencyRows(rows, group, "IN packet -> file read", toFile, missingFile, same);
    if (!problem.empty())
        for (size_t i = before; i < rows->size(); ++i) (*rows)[i].broken = true, (*rows)[i].note = problem;
}

void OutputLatency(const Sizes& sizes, std::vector<BenchRow>* rows) {
    const std::string group = "output latency, idle wire";
    std::vector<double> toPacket, toWire;
    size_t missing = 0;
    std::string problem;
    host::Session session("bench output");
    {
        Rig rig;
        for (uint8_t id = 0; id < kUnits && rig.Loaded(); ++id) rig.Plug(id);
        if (!rig.Loaded() || !rig.Client().Attached() || !NT_SUCCESS(rig.OpenAll())) problem = "the client could not open the units";
        struct Sample {
            size_t unit;
            int64_t written;
            int64_t onWire;
        };
        std::vector<Sample> samples;
        size_t logStart = rig.Bus().Log().size();
        // Each write meets an idle wire: three bytes take under 1 ms, the gaps are 8 to 10 ms
        // and uneven, so the writes meet the pump's 2 ms rounds at every phase.
        for (int k = 0; k < sizes.outputSamples && problem.empty(); ++k) {
            size_t u = size_t(k % kUnits);
            RigUnit& unit = *rig.Units()[u];
            int64_t t0 = host::Now();
            if (!NT_SUCCESS(rig.Client().Write(unit.id, {0xB0, uint8_t(k & 0x7F), 0x40}))) {
                ++missing;
                host::Advance(host::Ms(8));
                continue;
            }
            host::Advance(host::Ms(8) + (k * 271 % 2000) * 10);
            samples.push_back({u, t0, unit.model->Wire().lastEnd});
        }
        std::vector<sim::UrbRecord> log = rig.Bus().Log();
        for (const Sample& s : samples) {
            PDEVICE_OBJECT pdo = rig.Units()[s.unit]->pdo;
            int64_t submitted = -1;
            for (size_t i = logStart; i < log.size() && submitted < 0; ++i) {
                const sim::UrbRecord& r = log[i];
                if (r.pdo == pdo && r.event == sim::UrbRecord::Event::Submitted && !r.in &&
                    r.endpoint == sim::kPmc7rOutEndpoint && r.time >= s.written)
                    submitted = r.time;
            }
            if (submitted < 0 || s.onWire < s.written) {
                ++missing;
                continue;
            }
            toPacket.push_back(double(submitted - s.written) / kMs);
            toWire.push_back(double(s.onWire - s.written) / kMs);
        }
    }
    if (!session.Finish().empty()) problem += (problem.empty() ? "" : "; ") + std::string("the run left something behind");
    size_t before = rows->size();
    // The pump looks every 2 ms and the packet waits at most one frame; three bytes then take
    // 3 x 320 us on the wire once the packet's frame is over.
    constexpr double kFirstPacket = 2 + 1, kWire = kFirstPacket + 1 + 3 * 0.32;
    AddLatencyRows(rows, group, "client write -> first OUT packet submitted", toPacket, missing,
                   {Bound::Kind::AtMost, kFirstPacket});
    AddLatencyRows(rows, group, "client write -> last byte on the MIDI wire", toWire, missing,
                   {Bound::Kind::AtMost, kWire});
    if (!problem.empty())
        for (size_t i = before; i < rows->size(); ++i) (*rows)[i].broken = true, (*rows)[i].note = problem;
}

}  // namespace simtool::bench
