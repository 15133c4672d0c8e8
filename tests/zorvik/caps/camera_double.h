// The camera capacity the test double reports.
#pragma once

#include "twain/source.h"

namespace zorvik::test {
extern int g_capacity;
} // namespace zorvik::test
