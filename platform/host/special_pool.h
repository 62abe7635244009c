// What the special pool has done (see host::pool::SetSpecial in control.h).
#pragma once

#include <cstddef>

namespace host::pool {
// Blocks placed in the special pool since the session began.
size_t SpecialBlocksMade();
}  // namespace host::pool
