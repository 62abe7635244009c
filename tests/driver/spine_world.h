// A loaded driver and a recording device below it, for tests of the driver's spine before
// the USB side exists: function devices are made here the way add-device makes them.
#pragma once

#include <vector>

#include "core/core.h"
#include "support/platform_test.h"

inline const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pmc7r";

// What the device below saw of each request that reached it.
struct LowerSeen {
    UCHAR major;
    UCHAR minor;
    NTSTATUS status;
    ULONG_PTR information;
};

class SpineTest : public PlatformTest {
public:
    static std::vector<LowerSeen>& Seen();
    static NTSTATUS& LowerAnswer();  // the status the device below completes with

protected:
    void SetUp() override;
    void TearDown() override;

    // A function device attached to the recording device, as add-device leaves it.
    PDEVICE_OBJECT NewFunctionDevice();
    // A device of the driver whose extension opens with the given signature.
    PDEVICE_OBJECT NewDeviceWithSignature(ULONG signature, ULONG extensionSize = 64);
    static FDO_EXTENSION* Fdo(PDEVICE_OBJECT d) { return FdoExtension(d); }

    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT lowerDriver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
};
