// Driver and device objects, device stacks, interfaces, the driver key, fault injection and
// the leak report.
#include <string>

#include "platform/io_test_driver.h"

namespace {

const GUID kGuid = {0x1234abcd, 0x5678, 0x9abc, {0xde, 0xf0, 0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc}};
const std::u16string kGuidText = u"{1234ABCD-5678-9ABC-DEF0-123456789ABC}";

PDEVICE_OBJECT Create(PDRIVER_OBJECT driver, PCWSTR name = nullptr, ULONG extension = 0) {
    UNICODE_STRING u;
    if (name) RtlInitUnicodeString(&u, name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, extension, name ? &u : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                             FALSE, &device));
    return device;
}

std::u16string Text(const UNICODE_STRING& u) { return std::u16string(u.Buffer, u.Length / sizeof(WCHAR)); }

TEST_F(IoTest, DevicesStackAndAreReferencedAtTheTop) {
    PDEVICE_OBJECT base = Create(driver_, u"\\Device\\iotest0", 64);
    ASSERT_NE(nullptr, base);
    EXPECT_EQ(ULONG(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME), base->Flags);
    EXPECT_EQ(1, base->StackSize);
    EXPECT_EQ(std::string(64, '\0'), std::string(static_cast<char*>(base->DeviceExtension), 64));
    PDEVICE_OBJECT clash = nullptr;
    UNICODE_STRING same;
    RtlInitUnicodeString(&same, u"\\Device\\iotest0");
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              IoCreateDevice(driver_, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash));

    PDEVICE_OBJECT middle = Create(driver_);
    PDEVICE_OBJECT top = Create(driver_);
    EXPECT_EQ(DO_DEVICE_INITIALIZING, middle->Flags);
    EXPECT_EQ(top, driver_->DeviceObject);
    EXPECT_EQ(middle, top->NextDevice);
    EXPECT_EQ(base, IoAttachDeviceToDeviceStack(middle, base));
    EXPECT_EQ(middle, IoAttachDeviceToDeviceStack(top, base));  // onto the top of base's stack
    EXPECT_EQ(3, top->StackSize);

    PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(base);
    EXPECT_EQ(top, referenced);
    ObDereferenceObject(referenced);

    // A deleted target takes no new device, even while a reference keeps its memory.
    PDEVICE_OBJECT gone = Create(driver_);
    ObReferenceObject(gone);
    IoDeleteDevice(gone);
    PDEVICE_OBJECT late = Create(driver_);
    EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(late, gone));
    ObDereferenceObject(gone);

    IoDeleteDevice(late);
    IoDetachDevice(middle);
    IoDeleteDevice(top);
    // A bus driver's device may go on its removal before the device above detaches: it
    // leaves its driver's list at once, its memory stays until the detach.
    IoDeleteDevice(base);
    EXPECT_EQ(middle, driver_->DeviceObject);
    EXPECT_EQ(middle, base->AttachedDevice);
    IoDetachDevice(base);
    IoDeleteDevice(middle);
    EXPECT_EQ(nullptr, driver_->DeviceObject);
}

TEST_F(IoTest, LoadDriverRunsTheEntryAndUnloadRunsTheUnloadRoutine) {
    static std::u16string seenPath;
    static bool unloaded;
    seenPath.clear();
    unloaded = false;
    const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\second";
    PDRIVER_OBJECT driver = host::io::LoadDriver(u"\\Driver\\second", [](PDRIVER_OBJECT d, PUNICODE_STRING p) NTAPI {
        seenPath = Text(*p);
        d->DriverUnload = [](PDRIVER_OBJECT) NTAPI { unloaded = true; };
        return d->DriverExtension->DriverObject == d ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }, path);
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(path, seenPath);
    EXPECT_EQ(u"\\Driver\\second", Text(driver->DriverName));
    host::io::UnloadDriver(driver);
    EXPECT_TRUE(unloaded);

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, host::io::LoadDriver(u"\\Driver\\failing",
                                            [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI { return STATUS_NO_SUCH_DEVICE; },
                                            path, &status));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, status);
}

TEST_F(IoTest, InterfaceLinksNameTheInstanceAndTheClass) {
    PDEVICE_OBJECT pdo = Create(driver_);
    PDEVICE_OBJECT plain = Create(driver_);
    host::io::SetInstancePath(pdo, u"USB\\VID_1234&PID_5678\\7&1a2b&0&1");
    UNICODE_STRING link, withReference, unnamed, sized;
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"ref");
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &link));
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kGuid, &reference, &withReference));
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(plain, &kGuid, nullptr, &unnamed));
    host::io::SetLinkNameLength(300);
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &sized));
    host::io::SetLinkNameLength(0);

    EXPECT_EQ(u"\\??\\USB#VID_1234&PID_5678#7&1a2b&0&1#" + kGuidText, Text(link));
    EXPECT_EQ(0, link.Buffer[link.Length / 2]);
    EXPECT_EQ(Text(link) + u"\\ref", Text(withReference));
    EXPECT_EQ(u"\\??\\ROOT#HOST#", Text(unnamed).substr(0, 14));
    EXPECT_EQ(600, sized.Length);
    EXPECT_EQ(u"\\??\\USB#VID_1234", Text(sized).substr(0, 16));
    EXPECT_EQ(u"#" + kGuidText, Text(sized).substr(300 - 39));

    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
    auto links = host::io::Interfaces();
    ASSERT_EQ(4u, links.size());
    EXPECT_EQ(Text(link), links[0].link);
    EXPECT_EQ(pdo, links[0].pdo);
    EXPECT_TRUE(links[0].enabled);
    EXPECT_FALSE(links[1].enabled);
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\nothing");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&unknown, TRUE));

    for (UNICODE_STRING* s : {&link, &withReference, &unnamed, &sized}) RtlFreeUnicodeString(s);
    IoDeleteDevice(plain);
    IoDeleteDevice(pdo);
}

TEST_F(IoTest, DriverKeyOpensOnlyWhenTheDeviceHasOne) {
    PDEVICE_OBJECT pdo = Create(driver_);
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key));
    const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{x}\\0003";
    host::io::SetDriverKey(pdo, path);
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Answer");
    ULONG value = 42;
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value));
    ZwClose(key);
    uint32_t stored = 0;
    EXPECT_TRUE(host::registry::GetDword(path, u"Answer", &stored));
    EXPECT_EQ(42u, stored);
    IoDeleteDevice(pdo);
}

struct FaultCase {
    const char* name;
    host::faults::Op op;
    bool (*fails)(PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class Faults : public IoTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, InjectedFailureIsReported) {
    PDEVICE_OBJECT device = Create(driver_);
    host::faults::FailNth(GetParam().op, 1);
    EXPECT_TRUE(GetParam().fails(driver_, device));
    host::faults::Clear();
    IoDeleteDevice(device);
}

INSTANTIATE_TEST_SUITE_P(
    Io, Faults,
    ::testing::Values(
        FaultCase{"AllocateIrp", host::faults::Op::Irp,
                  [](PDRIVER_OBJECT, PDEVICE_OBJECT) { return IoAllocateIrp(2, FALSE) == nullptr; }},
        FaultCase{"BuildRequest", host::faults::Op::Irp,
                  [](PDRIVER_OBJECT, PDEVICE_OBJECT d) {
                      return IoBuildDeviceIoControlRequest(0, d, nullptr, 0, nullptr, 0, TRUE, nullptr, nullptr) ==
                             nullptr;
                  }},
        FaultCase{"CreateDevice", host::faults::Op::Device,
                  [](PDRIVER_OBJECT driver, PDEVICE_OBJECT) {
                      PDEVICE_OBJECT d = nullptr;
                      return IoCreateDevice(driver, 0, nullptr, 0, 0, FALSE, &d) == STATUS_INSUFFICIENT_RESOURCES &&
                             d == nullptr;
                  }},
        FaultCase{"Attach", host::faults::Op::Attach,
                  [](PDRIVER_OBJECT driver, PDEVICE_OBJECT d) {
                      PDEVICE_OBJECT upper = Create(driver);
                      bool failed = IoAttachDeviceToDeviceStack(upper, d) == nullptr && d->AttachedDevice == nullptr;
                      IoDeleteDevice(upper);
                      return failed;
                  }},
        FaultCase{"Interface", host::faults::Op::Interface,
                  [](PDRIVER_OBJECT, PDEVICE_OBJECT d) {
                      UNICODE_STRING link{};
                      return !NT_SUCCESS(IoRegisterDeviceInterface(d, &kGuid, nullptr, &link)) &&
                             host::io::Interfaces().empty();
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoTest, LeftoversAreReported) {
    PDRIVER_OBJECT other = host::io::LoadDriver(
        u"\\Driver\\leaky", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI { return STATUS_SUCCESS; },
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\leaky");
    PDEVICE_OBJECT kept = Create(other, u"\\Device\\kept");
    PDEVICE_OBJECT referenced = Create(driver_);
    ObReferenceObject(referenced);
    IoDeleteDevice(referenced);
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_START_DEVICE;

    std::string report = session_.Finish();
    EXPECT_NE(std::string::npos, report.find("\\Device\\kept of \\Driver\\leaky not deleted")) << report;
    EXPECT_NE(std::string::npos, report.find("deleted but still referenced")) << report;
    EXPECT_NE(std::string::npos, report.find("driver \\Driver\\leaky not unloaded")) << report;
    EXPECT_NE(std::string::npos, report.find("allocated major 0x1b minor 0x0")) << report;

    IoFreeIrp(irp);
    ObDereferenceObject(referenced);
    IoDeleteDevice(kept);
    host::io::UnloadDriver(other);
}

}  // namespace
