// The image's entry point: the loader looks for DriverEntry by its plain
// (undecorated __stdcall) name, outside the flavour's namespace.
#include "kav.h"

extern "C" ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID Argument2) {
  return KAV_NS::DriverEntry(DriverObject, Argument2);
}
