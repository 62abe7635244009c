#include "sim/unit_in_stream.h"

namespace sim {
namespace {
constexpr uint8_t kFill = 0xFF;
}

void UnitInStream::Queue(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) items_.push_back({false, b});
}

void UnitInStream::Schedule(std::vector<uint8_t> bytes, int64_t at) { scheduled_.emplace(at, std::move(bytes)); }

void UnitInStream::QueueStatus(uint8_t state, bool ahead) {
    if (!ahead) {
        items_.push_back({true, state});
        return;
    }
    auto at = items_.begin();
    while (at != items_.end() && at->status) ++at;
    items_.insert(at, {true, state});
}

void UnitInStream::Release(int64_t now) {
    while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
        Queue(scheduled_.begin()->second);
        scheduled_.erase(scheduled_.begin());
    }
}

bool UnitInStream::Next(size_t size, std::vector<uint8_t>* packet) {
    if (items_.empty() || size == 0) return false;
    packet->clear();
    if (items_.front().status) {
        *packet = {0xFE, 0x01, items_.front().byte};
        items_.pop_front();
    } else {
        while (packet->size() < size && !items_.empty() && !items_.front().status) {
            packet->push_back(items_.front().byte);
            items_.pop_front();
        }
    }
    packet->resize(size, kFill);
    return true;
}

int64_t UnitInStream::NextChange(int64_t now) const {
    if (!items_.empty()) return now;
    return scheduled_.empty() ? -1 : scheduled_.begin()->first;
}

}  // namespace sim
