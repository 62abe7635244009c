// The three service-key settings the driver reads at load.
#include "spine_world.h"

namespace {

struct SettingCase {
    const char* what;
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
    ULONG interface_, alternate, alternateBulk;
};

std::vector<uint8_t> Dword(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

std::vector<uint8_t> Utf16(const std::u16string& s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(uint8_t(c));
        out.push_back(uint8_t(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

class SettingsTest : public PlatformTest {
protected:
    void Load() {
        PDRIVER_OBJECT driver = host::io::LoadDriver(u"\\Driver\\pmc7r", DriverEntry, kServiceKey);
        host::io::UnloadDriver(driver);
    }
};

TEST_F(SettingsTest, DefaultsWhenTheServiceKeyIsMissing) {
    Settings.Interface = Settings.Alternate = Settings.AlternateBulk = 77;
    Load();
    EXPECT_EQ(2u, Settings.Interface);
    EXPECT_EQ(1u, Settings.Alternate);
    EXPECT_EQ(0u, Settings.AlternateBulk);
}

TEST_F(SettingsTest, DefaultsWhenTheKeyCannotBeOpened) {
    host::registry::SetDword(kServiceKey, u"Interface", 5);
    host::faults::FailAll(host::faults::Op::OpenKey);
    Load();
    host::faults::Clear();
    EXPECT_EQ(2u, Settings.Interface);
}

TEST_F(SettingsTest, EachValueAsStoredUnderTheServiceKey) {
    const std::vector<SettingCase> cases = {
        {"no values", u"Unrelated", REG_DWORD, Dword(9), 2, 1, 0},
        {"dword", u"Alternate", REG_DWORD, Dword(5), 2, 5, 0},
        {"dword zero", u"AlternateBulk", REG_DWORD, Dword(0), 2, 1, 0},
        {"binary of four bytes", u"Interface", REG_BINARY, {3, 0, 0, 0}, 3, 1, 0},
        {"long string", u"Interface", REG_SZ, Utf16(u"12"), 2, 1, 0},
        {"string of four bytes", u"Interface", REG_SZ, Utf16(u"A"), 0x41, 1, 0},
        {"qword", u"Interface", REG_QWORD, {4, 0, 0, 0, 0, 0, 0, 0}, 2, 1, 0},
        {"three bytes", u"AlternateBulk", REG_BINARY, {1, 0, 0}, 2, 1, 0},
        {"larger than the result buffer", u"Alternate", REG_BINARY, std::vector<uint8_t>(200, 1), 2, 1, 0},
        {"name in another case", u"ALTERNATEBULK", REG_DWORD, Dword(7), 2, 1, 7},
    };
    for (const SettingCase& c : cases) {
        SCOPED_TRACE(c.what);
        host::registry::DeleteKey(kServiceKey);
        host::registry::SetValue(kServiceKey, c.name, c.type, c.data);
        Load();
        EXPECT_EQ(c.interface_, Settings.Interface);
        EXPECT_EQ(c.alternate, Settings.Alternate);
        EXPECT_EQ(c.alternateBulk, Settings.AlternateBulk);
    }
    host::registry::DeleteKey(kServiceKey);
}

TEST_F(SettingsTest, ValuesUnderASubkeyAreNotRead) {
    host::registry::SetDword(kServiceKey + u"\\Parameters", u"Interface", 4);
    Load();
    EXPECT_EQ(2u, Settings.Interface);
    host::registry::DeleteKey(kServiceKey);
}

}  // namespace
