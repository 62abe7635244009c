#include "tools/pmc7r_sim/trace.h"

#include <mutex>
#include <string>

#include "platform/host/control.h"
#include "platform/host/nt_usb.h"
#include "tools/pmc7r_sim/world.h"

namespace simtool {
namespace {

std::string DriverOf(PDEVICE_OBJECT device) {
    const UNICODE_STRING& name = device->DriverObject->DriverName;
    std::string out;
    for (USHORT i = 0; i < name.Length / 2; ++i) out += char(name.Buffer[i]);
    size_t slash = out.rfind('\\');
    return slash == std::string::npos ? out : out.substr(slash + 1);
}

const char* PnpName(UCHAR minor) {
    static const char* const names[] = {"START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE",
                                        "STOP_DEVICE", "QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE",
                                        "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE", "QUERY_CAPABILITIES",
                                        "QUERY_RESOURCES", "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
                                        "FILTER_RESOURCE_REQUIREMENTS", "?", "READ_CONFIG", "WRITE_CONFIG",
                                        "EJECT", "SET_LOCK", "QUERY_ID", "QUERY_PNP_DEVICE_STATE",
                                        "QUERY_BUS_INFORMATION", "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL"};
    return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "?";
}

const char* UrbName(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return "SELECT_CONFIGURATION";
    case URB_FUNCTION_SELECT_INTERFACE: return "SELECT_INTERFACE";
    case URB_FUNCTION_ABORT_PIPE: return "ABORT_PIPE";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return "BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return "GET_DESCRIPTOR";
    default: return "URB";
    }
}

std::string Describe(const host::io::TraceEvent& e) {
    char code[24];
    switch (e.major) {
    case IRP_MJ_PNP: return std::string("PNP ") + PnpName(e.minor);
    case IRP_MJ_POWER:
        return std::string("POWER ") + (e.minor == IRP_MN_SET_POWER ? "SET_POWER" : e.minor == IRP_MN_QUERY_POWER ? "QUERY_POWER"
                                        : e.minor == IRP_MN_WAIT_WAKE ? "WAIT_WAKE" : "other");
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (e.urb) return std::string("URB ") + UrbName(e.urbFunction);
        std::snprintf(code, sizeof code, "0x%06lX", (unsigned long)e.ioctl);
        return std::string("INTERNAL_DEVICE_CONTROL ") + code;
    case IRP_MJ_DEVICE_CONTROL:
        std::snprintf(code, sizeof code, "0x%06lX", (unsigned long)e.ioctl);
        return std::string("DEVICE_CONTROL ") + code;
    case IRP_MJ_CREATE: return "CREATE";
    case IRP_MJ_CLOSE: return "CLOSE";
    case IRP_MJ_READ: return "READ";
    case IRP_MJ_WRITE: return "WRITE";
    default: return "major " + std::to_string(e.major);
    }
}

}  // namespace

// The driver's boundary: requests its devices receive, and those it sends to the bus.
Tracer::Tracer(std::FILE* out) : on_(out != nullptr) {
    if (!on_) return;
    auto lock = std::make_shared<std::mutex>();
    host::io::SetTracer([out, lock](const host::io::TraceEvent& e) {
        std::string driver = DriverOf(e.device);
        if (driver != "pmc7r" && driver != "simusb") return;
        std::string line = TimeText(host::Now()) + "    " + (e.completion ? "<- " : "-> ") + driver + " " + Describe(e);
        if (e.completion) line += ": " + StatusText(e.status);
        std::lock_guard guard(*lock);
        std::fprintf(out, "%s\n", line.c_str());
    });
}

Tracer::~Tracer() {
    if (on_) host::io::SetTracer(nullptr);
}

}  // namespace simtool
