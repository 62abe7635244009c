// The unit's display: two lines of 40 characters written by vendor messages.
#include "sim/unit_fixture.h"

namespace {

TEST_F(SimUnitTest, DisplayFollowsSetupAndText) {
    struct Case {
        const char* name;
        std::vector<Bytes> messages;  // after a display setup
        std::string line0, line1;
    };
    const std::string forty(40, 'x');
    const Case cases[] = {
        {"setup alone", {}, "", ""},
        {"text at 0", {DisplayText(0, "Volume")}, "Volume", ""},
        {"text at 64", {DisplayText(64, "Pan")}, "", "Pan"},
        {"from a column", {DisplayText(0, "Hello"), DisplayText(3, "p!")}, "Help!", ""},
        {"CR clears its line", {DisplayText(64, "World"), DisplayText(70, "abc\rxy")}, "", "xy"},
        {"LF clears the next line", {DisplayText(64, "Old"), DisplayText(0, "Top\nBottom")}, "Top", "Bottom"},
        {"LF after line 2 drops the rest", {DisplayText(0, "Keep"), DisplayText(64, "End\nLost")}, "Keep", "End"},
        {"past column 39 dropped", {DisplayText(38, "abcdef")}, std::string(38, ' ') + "ab", ""},
        {"whole line", {DisplayText(0, forty + "yz")}, forty, ""},
        {"CR after overlong text", {DisplayText(30, "0123456789ABC\rNew")}, "New", ""},
        {"position 128 is no line", {DisplayText(0, "Keep"), DisplayText(128, "Lost")}, "Keep", ""},
        {"position 256 is no line", {DisplayText(64, "Keep"), DisplayText(256, "Lost\nLost")}, "", "Keep"},
        {"setup clears both", {DisplayText(0, "a"), DisplayText(64, "b"), kDisplaySetup}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Make({});
        Write(kDisplaySetup);
        for (const Bytes& m : c.messages) Write(m);
        EXPECT_EQ(c.line0, unit_->DisplayLine(0));
        EXPECT_EQ(c.line1, unit_->DisplayLine(1));
        EXPECT_TRUE(unit_->MidiOut().empty());
        EXPECT_TRUE(unit_->VendorMessages().empty());
    }
}

}  // namespace
