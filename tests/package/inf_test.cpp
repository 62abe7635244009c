// The installation file against the driver it installs: identities from the product table,
// service-key values from the driver's defaults, the image the Windows build produces.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

#include "core/core.h"
#include "package/inf_reader.h"
#include "pnp/pnp.h"

namespace {

const std::string kInfPath = PMC7R_SOURCE_DIR "/package/pmc7r.inf";
const std::string kMaker = "Orvalis Instruments";

std::string Narrow(PCWSTR text) {
    std::string out;
    for (; *text; ++text) out.push_back(char(*text));
    return out;
}

std::string HardwareId(const PRODUCT_RECORD& record) {
    char id[32];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", record.VendorId, record.ProductId);
    return id;
}

class PackageInf : public ::testing::Test {
protected:
    void SetUp() override {
        std::ifstream in(kInfPath, std::ios::binary);
        ASSERT_TRUE(in) << kInfPath;
        text_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        inf_ = inf::InfFile::Parse(text_);
        ASSERT_TRUE(inf_.errors.empty()) << inf_.errors.front();
    }

    std::string Value(const std::string& section, const std::string& key, size_t index = 0) {
        std::optional<inf::Entry> entry = inf_.Find(section, key);
        if (!entry || entry->values.size() <= index) {
            ADD_FAILURE() << "[" << section << "] " << key << " is missing";
            return "";
        }
        return inf_.Expand(entry->values[index]);
    }

    // The models sections the [Manufacturer] line names: the undecorated one and each
    // decoration.
    std::vector<std::string> ModelsSections() {
        const auto& makers = inf_.Section("Manufacturer");
        if (makers.size() != 1) {
            ADD_FAILURE() << "expected one manufacturer, found " << makers.size();
            return {};
        }
        std::vector<std::string> sections{makers[0].values[0]};
        for (size_t i = 1; i < makers[0].values.size(); ++i)
            sections.push_back(makers[0].values[0] + "." + makers[0].values[i]);
        return sections;
    }

    std::string text_;
    inf::InfFile inf_;
};

TEST_F(PackageInf, VersionSectionNamesTheMediaClassOnNt) {
    EXPECT_EQ(Value("Version", "Signature"), "$Windows NT$");
    EXPECT_EQ(inf::Lower(Value("Version", "Class")), "media");
    EXPECT_EQ(inf::Lower(Value("Version", "ClassGUID")), "{4d36e96c-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(Value("Version", "Provider"), kMaker);
    std::string date = Value("Version", "DriverVer", 0), version = Value("Version", "DriverVer", 1);
    EXPECT_TRUE(std::regex_match(date, std::regex(R"((0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01])/\d{4})"))) << date;
    EXPECT_TRUE(std::regex_match(version, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << version;
    EXPECT_EQ(text_.find("\n"), text_.find("\r\n") + 1) << "INF lines end in CRLF";
}

TEST_F(PackageInf, ModelsListEveryProductOfTheTableWithItsDescription) {
    std::vector<std::string> sections = ModelsSections();
    EXPECT_EQ(inf_.Expand(inf_.Section("Manufacturer")[0].key), kMaker);
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(inf::Lower(sections[1]), inf::Lower(sections[0] + ".NTx86"));
    for (const std::string& section : sections) {
        ASSERT_TRUE(inf_.Has(section)) << section;
        std::set<std::string> listed;
        for (const inf::Entry& model : inf_.Section(section)) {
            ASSERT_EQ(model.values.size(), 2u) << section;
            listed.insert(model.values[1]);
            const PRODUCT_RECORD* record = nullptr;
            for (const PRODUCT_RECORD& r : ProductTable)
                if (r.VendorId != 0 && HardwareId(r) == model.values[1]) record = &r;
            ASSERT_NE(record, nullptr) << model.values[1] << " is not in the product table";
            std::string description = inf_.Expand(model.key);
            EXPECT_EQ(description, Narrow(record->Description));
            EXPECT_EQ(description.rfind(kMaker + " ", 0), 0u) << description;
            EXPECT_TRUE(inf_.Has(model.values[0])) << "install section " << model.values[0];
        }
        EXPECT_EQ(listed, (std::set<std::string>{"USB\\VID_0C5B&PID_002A", "USB\\VID_0C5B&PID_002B"}));
    }
}

TEST_F(PackageInf, InstallCopiesTheDriverAndAddsItsServiceWithTheDefaults) {
    std::string install = inf_.Section(ModelsSections().at(1))[0].values[0];
    std::string files = Value(install, "CopyFiles");
    ASSERT_EQ(inf_.Section(files).size(), 1u);
    EXPECT_EQ(inf_.Section(files)[0].values[0], "pmc7r.sys");
    EXPECT_EQ(Value("DestinationDirs", files), "12");
    std::string disk = Value("SourceDisksFiles", "pmc7r.sys");
    EXPECT_TRUE(inf_.Find("SourceDisksNames", disk)) << "disk " << disk;

    std::optional<inf::Entry> add = inf_.Find(install + ".Services", "AddService");
    ASSERT_TRUE(add && add->values.size() == 3);
    EXPECT_EQ(add->values[0], "pmc7r");
    EXPECT_TRUE(std::stoul(add->values[1], nullptr, 0) & 0x2) << "the function driver's service";
    std::string service = add->values[2];
    EXPECT_EQ(Value(service, "ServiceType"), "1");
    EXPECT_EQ(Value(service, "StartType"), "3");
    EXPECT_EQ(Value(service, "ErrorControl"), "1");
    EXPECT_EQ(Value(service, "ServiceBinary"), "%12%\\pmc7r.sys");

    std::map<std::string, unsigned long> values;
    for (const inf::Entry& reg : inf_.Section(Value(service, "AddReg"))) {
        ASSERT_EQ(reg.values.size(), 5u);
        EXPECT_EQ(reg.values[0], "HKR");
        EXPECT_EQ(reg.values[1], "");
        EXPECT_EQ(std::stoul(reg.values[3], nullptr, 0), 0x00010001ul) << "REG_DWORD";
        values[reg.values[2]] = std::stoul(reg.values[4], nullptr, 0);
    }
    EXPECT_EQ(values, (std::map<std::string, unsigned long>{{"Interface", DEFAULT_INTERFACE},
                                                             {"Alternate", DEFAULT_ALTERNATE},
                                                             {"AlternateBulk", DEFAULT_ALTERNATE_BULK}}));
}

// The Windows build names its image as the service binary does; where it ran, the file is there.
TEST_F(PackageInf, ServiceBinaryIsTheImageTheWindowsBuildProduces) {
    std::string cache = PMC7R_SOURCE_DIR "/build/windows-x86/CMakeCache.txt";
    std::string sys = PMC7R_SOURCE_DIR "/build/windows-x86/pmc7r.sys";
    if (!std::ifstream(cache)) GTEST_SKIP() << "the windows-x86 build has not run";
    EXPECT_TRUE(std::ifstream(sys).good()) << sys << " is missing";
}

}  // namespace
