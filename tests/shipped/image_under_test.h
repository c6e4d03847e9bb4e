// The image that a shipped-binary test executable runs (KAV_TEST_IMAGE_PATH).
#ifndef KAV_TESTS_IMAGE_UNDER_TEST_H
#define KAV_TESTS_IMAGE_UNDER_TEST_H

#include "pe_loader.h"

// The loaded image, or nullptr (and a test failure) when it did not load.
const sim::LoadedImage *ImageUnderTest();

#endif
