// The driver flavour a test executable is built against (tests_nt or
// tests_95), under one name.
#ifndef KAV_TESTS_FLAVOUR_UNDER_TEST_H
#define KAV_TESTS_FLAVOUR_UNDER_TEST_H

#include "kav.h"

namespace drv = KAV_NS;
constexpr bool kIs95 = drv::FLAVOUR_IS_95;

#endif
