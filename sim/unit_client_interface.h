// What a client of the pmc7r driver sees of it: the control codes and the records their
// requests carry, from the driver's public header.
#pragma once

#include "driver/public/pmc7r.h"
