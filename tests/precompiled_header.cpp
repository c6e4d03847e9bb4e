// The translation unit that GoogleTest's precompiled header is made for;
// every test executable reuses the header (kav_test_executable).
#include <gtest/gtest.h>
