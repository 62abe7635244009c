// pmc7r-sim: runs the driver on the host platform. For now its one command, demo, loads the
// driver with a few service-key settings, shows what the driver read, unloads it and shows
// what the session found left over.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/core/core.h"
#include "platform/host/control.h"

namespace {

const std::u16string kDriverName = u"\\Driver\\pmc7r";
const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pmc7r";

void Usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: pmc7r-sim demo [NAME=VALUE...]\n"
                 "       pmc7r-sim --help\n"
                 "\n"
                 "demo  loads the driver, shows the settings it read from its service key and\n"
                 "      the leak report after unloading. The key holds Interface=0 Alternate=0\n"
                 "      AlternateBulk=1; each NAME=VALUE sets a DWORD value of it besides.\n");
}

std::u16string Widen(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

// Parses NAME=VALUE into the service key; false when the argument is not of that form.
bool SetSetting(std::string_view argument) {
    size_t equals = argument.find('=');
    if (equals == 0 || equals == std::string_view::npos) return false;
    std::string value(argument.substr(equals + 1));
    char* end = nullptr;
    unsigned long number = std::strtoul(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0') return false;
    host::registry::SetDword(kServiceKey, Widen(argument.substr(0, equals)), uint32_t(number));
    return true;
}

int Demo(int argc, char** argv) {
    host::Session session("pmc7r-sim");
    host::registry::SetDword(kServiceKey, u"Interface", 0);
    host::registry::SetDword(kServiceKey, u"Alternate", 0);
    host::registry::SetDword(kServiceKey, u"AlternateBulk", 1);
    for (int i = 0; i < argc; ++i) {
        if (!SetSetting(argv[i])) {
            std::fprintf(stderr, "pmc7r-sim: expected NAME=VALUE, got '%s'\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }

    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = host::io::LoadDriver(kDriverName, DriverEntry, kServiceKey, &status);
    std::printf("DriverEntry returned 0x%08lx\n", (unsigned long)status);
    if (!NT_SUCCESS(status) || driver == nullptr) return 1;
    std::printf("settings: Interface=%lu Alternate=%lu AlternateBulk=%lu\n",
                (unsigned long)Interface, (unsigned long)Alternate, (unsigned long)AlternateBulk);
    host::io::UnloadDriver(driver);

    std::string leaks = session.Finish();
    std::printf("leak report: %s\n", leaks.empty() ? "nothing left over" : leaks.c_str());
    return leaks.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h") {
        Usage(stdout);
        return 0;
    }
    if (command == "demo") return Demo(argc - 2, argv + 2);
    Usage(stderr);
    return 2;
}
