// DriverEntryUnderTest for the shipped-binary tests: the flavour's image
// from dist/, loaded once per process and bound to our port driver.
#include "image_under_test.h"
#include "driver_under_test.h"

#include <gtest/gtest.h>

namespace {

ULONG NTAPI ImageDidNotLoad(PVOID, PVOID) {
  return sim::STATUS_NO_SUCH_DEVICE;
}

} // namespace

const sim::LoadedImage *ImageUnderTest() {
  static std::string error;
  static std::unique_ptr<sim::LoadedImage> image =
      sim::LoadedImage::load(KAV_TEST_IMAGE_PATH, sim::ScsiPortExports(), error);
  if (!image) {
    ADD_FAILURE() << "the image under test did not load: " << error
                  << " (build the PE images first: ./kav build)";
  }
  return image.get();
}

sim::PortDriver::DriverEntryRoutine DriverEntryUnderTest() {
  const sim::LoadedImage *image = ImageUnderTest();
  return image ? image->driverEntry() : ImageDidNotLoad;
}

bool IsDriverRoutine(const void *routine, const void *linkedRoutine) {
  (void)linkedRoutine;
  const sim::LoadedImage *image = ImageUnderTest();
  return image != nullptr && image->inCode(routine);
}
