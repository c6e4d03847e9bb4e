// The DriverEntry that the machine-level tests load into the port driver:
// the flavour linked into the test executable, or, in the shipped-binary
// tests of the 32-bit tree (KAV_TEST_IMAGE defined), the DriverEntry of the
// flavour's image in dist/ as the PE loader loaded it. The same scenario
// source runs on both.
#ifndef KAV_TESTS_DRIVER_UNDER_TEST_H
#define KAV_TESTS_DRIVER_UNDER_TEST_H

#include "flavour_under_test.h"
#include "port_driver.h"

// IsDriverRoutine tells whether a routine the driver registered is the
// given routine of the linked flavour; for an image, whether it lies in the
// image's code.
#ifdef KAV_TEST_IMAGE
constexpr bool kDriverIsImage = true;
// tests/shipped/image_under_test.cpp: loads the image once per process.
sim::PortDriver::DriverEntryRoutine DriverEntryUnderTest();
bool IsDriverRoutine(const void *routine, const void *linkedRoutine);
#else
constexpr bool kDriverIsImage = false;
inline sim::PortDriver::DriverEntryRoutine DriverEntryUnderTest() {
  return drv::DriverEntry;
}
inline bool IsDriverRoutine(const void *routine, const void *linkedRoutine) {
  return routine == linkedRoutine;
}
#endif

#endif
