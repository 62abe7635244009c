// What the unit sends the host, in order: MIDI bytes packed into packets with FF fill, and
// status packets of their own. A delayed reply joins the stream when its time comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace sim {

class UnitInStream {
public:
    void Queue(const std::vector<uint8_t>& bytes);
    void Schedule(std::vector<uint8_t> bytes, int64_t at);
    // FE 01 <state> as a packet of its own: behind what is queued, or ahead of it (behind
    // the reports already waiting there, so that busy and ready keep their order).
    void QueueStatus(uint8_t state, bool ahead = false);
    // Moves the scheduled replies due by now into the stream.
    void Release(int64_t now);
    // The next packet of `size` bytes; false when nothing is queued.
    bool Next(size_t size, std::vector<uint8_t>* packet);
    // When the stream next has something to send: `now` if it has now, -1 if never by itself.
    int64_t NextChange(int64_t now) const;

private:
    struct Item {
        bool status;
        uint8_t byte;  // the MIDI byte, or the status's state
    };
    std::deque<Item> items_;
    std::multimap<int64_t, std::vector<uint8_t>> scheduled_;  // equal times keep their order
};

}  // namespace sim
