// The unit's reading of the MIDI stream the host sends: the SysEx it answers or acts on is
// kept back as whole messages, every other byte passes on to the MIDI out exactly as received.
// Channel messages and running status need no interpretation for that: their bytes pass as
// they are.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class UnitMidiParser {
public:
    class Sink {
    public:
        virtual void PassOn(uint8_t byte) = 0;
        // A claimed SysEx from F0 to F7, without the real-time bytes that came inside it.
        virtual void Claimed(const std::vector<uint8_t>& sysex) = 0;

    protected:
        ~Sink() = default;
    };

    void Feed(uint8_t byte, Sink* sink);

private:
    enum class State { Outside, Undecided, Claimed };
    // Whether the SysEx so far may still become one the unit claims.
    bool MayClaim() const;
    bool IsClaimedPrefix() const;
    // Ends the SysEx: what is still held passes on.
    void EndSysEx(Sink* sink);
    void Claim(Sink* sink);

    State state_ = State::Outside;
    std::vector<uint8_t> sysex_;
    // While undecided: the bytes as received, real-time ones included, so that a SysEx passed on
    // keeps their order.
    std::vector<uint8_t> held_;
};

// F0 7E <device> 06 01 F7; every other claimed message opens with F0 00 01 75 2A 7F.
bool IsIdentityRequest(const std::vector<uint8_t>& sysex);

}  // namespace sim
