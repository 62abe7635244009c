// Internals of the native image loader: the host's export table and the loaded images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../native_image.h"

namespace host::detail::image {

struct Export {
    const char* module;
    const char* name;
    void* routine;
};
const Export* FindExport(const std::string& module, const std::string& name);

struct Symbol {
    uint32_t rva;
    std::string name;
};

}  // namespace host::detail::image

namespace host::image {
struct Image;
}

namespace host::detail::image {
bool Contains(uintptr_t address);
// The image holding address, and its description, without the loader's lock (for the fault
// reporter, which may interrupt a holder of it).
const host::image::Image* ImageAt(uintptr_t address);
std::string DescribeIn(const host::image::Image* image, uintptr_t address);
// Reports faults by image and routine and by special-pool block (image_faults.cpp).
void InstallFaultReporter();
}  // namespace host::detail::image

namespace host::image {

struct Image {
    std::string name;  // the file's name, as faults name it
    uint8_t* base = nullptr;
    uint32_t size = 0;
    uint32_t entry = 0;
    std::vector<detail::image::Symbol> symbols;  // functions, by address
};

}  // namespace host::image
