// What the I/O manager offers the PnP manager, which lives in the simulation: device facts
// and the verifier's report for the rules that manager checks.
#include "io_internal.h"

using namespace host::detail;
using namespace host::detail::iom;

bool host::io::DeviceDeleted(PDEVICE_OBJECT device) {
    std::lock_guard guard(Lock());
    _DEVOBJ_EXTENSION* r = DeviceRecordLocked(device);
    return !r || r->deleted;
}

void host::verifier::Report(const std::string& rule, const std::string& detail) { Violate(rule, detail); }
