// What a client of the pmc7r driver sees of it: the control codes and the records their
// requests carry, as the driver declares them.
#pragma once

#include "client/ioctl_codes.h"
#include "core/unit_table.h"
