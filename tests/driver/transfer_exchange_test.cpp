// The request/response exchange: a SysEx reply picked out of the input that arrives after
// each attempt began, four attempts of 100 ms.
#include "unit_world.h"

namespace {

const std::vector<uint8_t> kIdentity = {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x01, 0x75, 0x2A,
                                        0x00, 0x01, 0x00, 0x32, 0x2E, 0x32, 0x34, 0xF7};

class ExchangeTest : public UnitStackTest {
protected:
    // Answers the nth OUT transfer (counting from 1) with these packets, delayMs after it.
    void AnswerAfter(Unit& u, size_t nth, int64_t delayMs, std::vector<std::vector<uint8_t>> packets) {
        responders_.push_back(std::make_unique<host::Thread>("unit firmware", [&u, nth, delayMs, packets] {
            // A send that never comes (the exchange is over) is not waited for long.
            if (!host::WaitUntil([&] { return u.device->Sent().size() >= nth; }, host::Ms(1000))) return;
            host::Advance(host::Ms(delayMs));
            for (auto p : packets) {
                p.resize(64, 0xFF);
                u.device->Push(0x81, p);
            }
        }));
    }
    ULONG Exchange(Unit& u, ULONG capacity = 1024) {
        reply_.assign(1024, 0);
        return ExchangeMessage(u.fdo, IdentityRequest_, 6, reply_.data(), capacity, 0);
    }
    void TearDown() override {
        responders_.clear();
        UnitStackTest::TearDown();
    }

    const UCHAR IdentityRequest_[6] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    std::vector<uint8_t> reply_;
    std::vector<std::unique_ptr<host::Thread>> responders_;
};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(ExchangeTest, RepliesAsTheyArrive) {
    std::vector<uint8_t> first16(kIdentity.begin(), kIdentity.end() - 1);
    std::vector<uint8_t> interrupted(kIdentity.begin(), kIdentity.begin() + 5);
    interrupted.push_back(0xF8);
    interrupted.insert(interrupted.end(), kIdentity.begin() + 5, kIdentity.end());
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> packets;
        ULONG capacity;
        ULONG length;
    };
    const Case cases[] = {
        {"one packet", {kIdentity}, 1024, 17},
        {"split over two packets", {first16, {0xF7}}, 1024, 17},
        {"MIDI before the reply is skipped", {Concat({0x90, 0x3C, 0x64}, kIdentity)}, 1024, 17},
        {"a timing clock breaks it off", {interrupted}, 1024, 5},
        {"longer than the buffer", {{0xF0, 1, 2, 3, 4, 5}}, 4, 4},
    };
    Unit& u = Open();
    size_t sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AnswerAfter(u, sent + 1, 2, c.packets);
        int64_t t = host::Now();
        EXPECT_EQ(c.length, Exchange(u, c.capacity));
        EXPECT_LT(host::Now() - t, host::Ms(100));  // answered within the first attempt
        EXPECT_EQ(0xF0, reply_[0]);
        if (c.length == 17) EXPECT_EQ(kIdentity, std::vector<uint8_t>(reply_.begin(), reply_.begin() + 17));
        EXPECT_EQ(nullptr, Fdo(u)->PendingExchange);
        sent = u.device->Sent().size();
        ASSERT_EQ(sent, responders_.size());
    }
}

TEST_F(ExchangeTest, NoAnswerMeansFourSendsAndNothing) {
    Unit& u = Open();
    int64_t t = host::Now();
    EXPECT_EQ(0u, Exchange(u));
    EXPECT_EQ(nullptr, Fdo(u)->PendingExchange);
    std::vector<int64_t> sends;
    for (const auto& r : bus_->Log())
        if (r.event == sim::UrbRecord::Event::Completed && r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !r.in)
            sends.push_back(r.time);
    ASSERT_EQ(4u, sends.size());
    for (size_t i = 1; i < sends.size(); ++i) {
        EXPECT_GE(sends[i] - sends[i - 1], host::Ms(100));
        EXPECT_LE(sends[i] - sends[i - 1], host::Ms(102));
    }
    EXPECT_GE(host::Now() - t, host::Ms(400));
}

// Asked for a 12-byte reply, the exchange passes over the identity replies a mode switch or
// an earlier attempt drew, and a longer message, and takes the reply that follows them. Taking
// the first SysEx once gave a restarted unit ID 0 and cost it its slot.
TEST_F(ExchangeTest, AReplyOfTheWantedLengthIsTakenPastOtherMessages) {
    const std::vector<uint8_t> idReply = {0xF0, 0x00, 0x01, 0x75, 0x2A, 0x7F, 0x52, 0x02, 0x01, 0x00, 0x03, 0xF7};
    std::vector<uint8_t> longer(20, 0x11);
    longer.front() = 0xF0, longer.back() = 0xF7;
    Unit& u = Open();
    AnswerAfter(u, 1, 2, {kIdentity, Concat(longer, idReply)});
    reply_.assign(1024, 0);
    int64_t t = host::Now();
    EXPECT_EQ(12u, ExchangeMessage(u.fdo, IdentityRequest_, 6, reply_.data(), 1024, 12));
    EXPECT_LT(host::Now() - t, host::Ms(100));
    EXPECT_EQ(idReply, std::vector<uint8_t>(reply_.begin(), reply_.begin() + 12));
    EXPECT_EQ(nullptr, Fdo(u)->PendingExchange);
}

TEST_F(ExchangeTest, ALateReplyCountsForTheAttemptItArrivesIn) {
    Unit& u = Open();
    // The reply to the first send arrives 150 ms later, inside the second attempt.
    AnswerAfter(u, 1, 150, {kIdentity});
    EXPECT_EQ(17u, Exchange(u));
    EXPECT_EQ(2u, u.device->Sent().size());
}

TEST_F(ExchangeTest, AReplyStartedBeforeTheAttemptIsSkipped) {
    Unit& u = Open();
    std::vector<uint8_t> head(kIdentity.begin(), kIdentity.begin() + 8);
    std::vector<uint8_t> tail(kIdentity.begin() + 8, kIdentity.end());
    // Half a reply before the second attempt began, its rest and a whole reply after.
    AnswerAfter(u, 1, 99, {head});
    AnswerAfter(u, 2, 1, {tail, kIdentity});
    EXPECT_EQ(17u, Exchange(u));
    EXPECT_EQ(kIdentity, std::vector<uint8_t>(reply_.begin(), reply_.begin() + 17));
}

// Replies land right at the end of the 100 ms wait, again and again: the context on the
// exchanging thread's stack is never touched after the exchange moved on.
TEST_F(ExchangeTest, RepliesRacingTheTimeOut) {
    Unit& u = Open();
    for (int i = 0; i < 20; ++i) {
        size_t sent = u.device->Sent().size();
        // Like a real unit, every send is answered; a reply that falls between two
        // attempts is lost, the answer to the next send is not.
        for (size_t n = 1; n <= EXCHANGE_ATTEMPTS; ++n) AnswerAfter(u, sent + n, 99 + (i % 3), {kIdentity});
        ULONG length = Exchange(u);
        EXPECT_EQ(17u, length) << "iteration " << i;
        EXPECT_EQ(nullptr, Fdo(u)->PendingExchange);
        responders_.clear();
        host::Advance(host::Ms(5));
    }
}

}  // namespace
