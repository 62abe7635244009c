// Native images: the host's loader for a driver built for 32-bit x86 Windows (a PE32 .sys).
// It checks and maps the image as the platform's loader does, binds its imports by name to
// the host's own kernel routines and gives its entry point. Faults inside a loaded image are
// reported by image, offset and routine. Only the 32-bit host can run an x86 image.
#pragma once

#include <cstdint>
#include <string>

#include "nt_io.h"

namespace host::image {

struct Image;

// True where images can run (the 32-bit x86 host).
bool Supported();
// Loads the image at path; nullptr and *error saying why when it cannot (headers, a
// relocation it does not know, an import the host lacks: "USBD.SYS!Name is not exported").
Image* Load(const std::string& path, std::string* error);
PDRIVER_INITIALIZE Entry(const Image* image);
// Where the image is mapped, for the driver object.
PVOID Base(const Image* image);
ULONG Size(const Image* image);
// Unmaps the image: nothing of it may run after this.
void Unload(Image* image);
// "pmc7r.sys+0x1a2c (DispatchRead+0x1c)" for an address inside a loaded image, else "".
std::string Describe(uintptr_t address);

}  // namespace host::image
