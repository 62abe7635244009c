// ZwOpenKey, ZwQueryValueKey and ZwSetValueKey against the emulated registry.
#include <cstring>
#include <vector>

#include "support/platform_test.h"

namespace {

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pmc7r";
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);

class ExRegistry : public PlatformTest {
protected:
    NTSTATUS Open(const std::u16string& name, ACCESS_MASK access, HANDLE* h, HANDLE root = nullptr) {
        UNICODE_STRING s{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                         const_cast<PWSTR>(name.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &s, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwOpenKey(h, access, &attributes);
    }
    NTSTATUS Query(HANDLE h, const char16_t* name, KEY_VALUE_INFORMATION_CLASS cls, void* buffer,
                   ULONG length, ULONG* needed) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, name);
        return ZwQueryValueKey(h, &s, cls, buffer, length, needed);
    }
    NTSTATUS SetDword(HANDLE h, const char16_t* name, ULONG value) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, name);
        return ZwSetValueKey(h, &s, 0, REG_DWORD, &value, sizeof value);
    }
};

TEST_F(ExRegistry, PartialInformationFollowsTheBufferSize) {
    host::registry::SetDword(kService, u"Depth", 0x11223344);
    HANDLE h;
    ASSERT_EQ(STATUS_SUCCESS, Open(kService, KEY_READ, &h));
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG needed = header + 4;
    struct Case {
        ULONG length;
        NTSTATUS status;
        bool headerWritten;
        bool dataWritten;
    };
    const Case cases[] = {
        {0, STATUS_BUFFER_TOO_SMALL, false, false},
        {header - 1, STATUS_BUFFER_TOO_SMALL, false, false},
        {header, STATUS_BUFFER_OVERFLOW, true, false},
        {needed - 1, STATUS_BUFFER_OVERFLOW, true, false},
        {needed, STATUS_SUCCESS, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<UCHAR> buffer(32, 0xEE);
        ULONG result = 0;
        EXPECT_EQ(c.status, Query(h, u"depth", KeyValuePartialInformation, buffer.data(), c.length, &result));
        EXPECT_EQ(needed, result);
        KEY_VALUE_PARTIAL_INFORMATION info;
        std::memcpy(&info, buffer.data(), header);
        EXPECT_EQ(c.headerWritten, info.Type == REG_DWORD && info.DataLength == 4);
        ULONG data;
        std::memcpy(&data, buffer.data() + header, 4);
        EXPECT_EQ(c.dataWritten ? 0x11223344u : 0xEEEEEEEEu, data);
        EXPECT_EQ(0xEE, buffer[needed]);
    }
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ExRegistry, BasicAndFullInformationLayouts) {
    host::registry::SetString(kService, u"Name", u"ab");
    HANDLE h;
    ASSERT_EQ(STATUS_SUCCESS, Open(kService, KEY_QUERY_VALUE, &h));
    alignas(8) UCHAR buffer[64];
    ULONG result;

    ASSERT_EQ(STATUS_SUCCESS, Query(h, u"Name", KeyValueBasicInformation, buffer, sizeof buffer, &result));
    auto basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(ULONG(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) + 8), result);
    EXPECT_EQ(ULONG(REG_SZ), basic->Type);
    EXPECT_EQ(u"Name", std::u16string(basic->Name, basic->NameLength / 2));

    ASSERT_EQ(STATUS_SUCCESS, Query(h, u"Name", KeyValueFullInformation, buffer, sizeof buffer, &result));
    auto full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(0u, full->DataOffset % 4);
    EXPECT_GE(full->DataOffset, ULONG(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name)) + full->NameLength);
    EXPECT_EQ(full->DataOffset + 6, result);
    EXPECT_EQ(6u, full->DataLength);
    EXPECT_EQ(u"ab", std::u16string(reinterpret_cast<const char16_t*>(buffer + full->DataOffset)));

    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(h, u"Name", KeyValueFullInformation, buffer, 19, &result));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(h, u"Other", KeyValueFullInformation, buffer, 64, &result));
    ZwClose(h);
}

TEST_F(ExRegistry, AccessRightsGateQueriesAndUpdates) {
    host::registry::SetDword(kService, u"Depth", 1);
    HANDLE reader, writer, generic;
    ASSERT_EQ(STATUS_SUCCESS, Open(kService, KEY_READ, &reader));
    ASSERT_EQ(STATUS_SUCCESS, Open(kService, KEY_SET_VALUE, &writer));
    ASSERT_EQ(STATUS_SUCCESS, Open(kService, GENERIC_READ | GENERIC_WRITE, &generic));
    UCHAR buffer[32];
    ULONG result;

    EXPECT_EQ(STATUS_ACCESS_DENIED, SetDword(reader, u"Depth", 2));
    EXPECT_EQ(STATUS_ACCESS_DENIED, Query(writer, u"Depth", KeyValuePartialInformation, buffer, 32, &result));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(writer, u"Depth", 3));
    uint32_t depth = 0;
    EXPECT_TRUE(host::registry::GetDword(kService, u"depth", &depth));
    EXPECT_EQ(3u, depth);
    EXPECT_EQ(STATUS_SUCCESS, SetDword(generic, u"Width", 4));
    EXPECT_EQ(STATUS_SUCCESS, Query(generic, u"Width", KeyValuePartialInformation, buffer, 32, &result));

    for (HANDLE h : {reader, writer, generic}) EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ExRegistry, OpensResolveAbsoluteAndRelativeNames) {
    host::registry::CreateKey(kService + u"\\Parameters");
    HANDLE services, key;
    ASSERT_EQ(STATUS_SUCCESS, Open(u"\\REGISTRY\\machine\\SYSTEM\\CurrentControlSet\\Services", KEY_READ, &services));
    struct Case {
        std::u16string name;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"PMC7R\\parameters", STATUS_SUCCESS},
        {u"pmc7r", STATUS_SUCCESS},
        {u"", STATUS_SUCCESS},
        {u"missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"pmc7r\\missing", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\pmc7r", STATUS_OBJECT_NAME_INVALID},
        {u"pmc7r\\\\Parameters", STATUS_OBJECT_NAME_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        key = nullptr;
        EXPECT_EQ(c.status, Open(c.name, KEY_READ, &key, services));
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
        }
    }
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(u"\\Registry\\Machine\\Nowhere", KEY_READ, &key));
    EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, Open(u"Registry\\Machine", KEY_READ, &key));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(services));
    EXPECT_EQ(STATUS_INVALID_HANDLE, Open(u"pmc7r", KEY_READ, &key, services));
}

TEST_F(ExRegistry, DeletedKeyAnswersThroughItsOpenHandle) {
    host::registry::SetDword(kService, u"Depth", 1);
    HANDLE h;
    ASSERT_EQ(STATUS_SUCCESS, Open(kService, KEY_ALL_ACCESS, &h));
    host::registry::DeleteKey(kService);
    EXPECT_FALSE(host::registry::KeyExists(kService));
    UCHAR buffer[32];
    ULONG result;
    EXPECT_EQ(kStatusKeyDeleted, Query(h, u"Depth", KeyValuePartialInformation, buffer, 32, &result));
    EXPECT_EQ(kStatusKeyDeleted, SetDword(h, u"Depth", 2));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

TEST_F(ExRegistry, OpenFailsOnInjectedFaultAndAbovePassive) {
    host::registry::CreateKey(kService);
    HANDLE h;
    host::faults::FailNth(host::faults::Op::OpenKey, 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Open(kService, KEY_READ, &h));
    ASSERT_EQ(STATUS_SUCCESS, Open(kService, KEY_READ, &h));

    host::verifier::Record(true);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_FALSE(NT_SUCCESS(Open(kService, KEY_READ, &h)));
    EXPECT_TRUE(host::verifier::Fired("registry call above PASSIVE_LEVEL"));
    UCHAR buffer[32];
    ULONG result;
    EXPECT_FALSE(NT_SUCCESS(Query(h, u"Depth", KeyValuePartialInformation, buffer, 32, &result)));
    EXPECT_TRUE(host::verifier::Fired("registry call above PASSIVE_LEVEL"));
    KeLowerIrql(old);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
}

}  // namespace
