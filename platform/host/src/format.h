// The kernel's printf engine, shared by _vsnprintf and DbgPrint.
#pragma once

#include <cstdarg>
#include <string>

namespace host::detail {

// Formats as the kernel's printf family does: 'l' is 32 bits, I64 and I size the integer,
// %S %ws %wZ %C %wc take UTF-16 text (only at PASSIVE_LEVEL), %p is bare upper-case hex.
std::string FormatKernel(const char* format, va_list* args);

}  // namespace host::detail
