// The ScsiPort* entry points the driver links against on the simulation
// host. Each forwards to the port driver whose call into the driver is
// running, and the port routines reach the machine's I/O space.
//
// A driver image loaded by the PE loader (32-bit build) calls the same
// routines through its import table. Two differences between the Microsoft
// i386 ABI of the images and the System V i386 ABI of this build matter:
// - The images keep the stack 4-byte aligned; this build's code may assume
//   16 bytes at every call. Every routine an image can call realigns the
//   stack on entry (IMAGE_CALLABLE).
// - An 8-byte union return value (ScsiPortConvertUlongToPhysicalAddress)
//   comes back in EDX:EAX under the Microsoft ABI and through a hidden
//   pointer under System V. Images are bound to a thunk that returns the
//   same bits as a 64-bit integer, which both ABIs return in EDX:EAX.
// Everything else agrees: __stdcall and __cdecl mean the same in both, and
// the records passed have the same layout (port/scsiport.h checks it).
#include "port_driver.h"
#include "scsiport_exports.h"

#include <cstdarg>

#if defined(__i386__)
#define IMAGE_CALLABLE __attribute__((force_align_arg_pointer))
#else
#define IMAGE_CALLABLE
#endif

using sim::PortDriver;

static uint32_t PortNumber(const void *port) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port));
}

static sim::IoSpace &Io() {
  return PortDriver::active().machine().io;
}

extern "C" {

IMAGE_CALLABLE ULONG NTAPI ScsiPortInitialize(PVOID Argument1, PVOID Argument2,
                                              PHW_INITIALIZATION_DATA HwInitializationData,
                                              PVOID HwContext) {
  return PortDriver::active().initialize(Argument1, Argument2, HwInitializationData, HwContext);
}

IMAGE_CALLABLE SCSI_PHYSICAL_ADDRESS NTAPI ScsiPortConvertUlongToPhysicalAddress(ULONG Address) {
  SCSI_PHYSICAL_ADDRESS physical;
  physical.QuadPart = Address;
  return physical;
}

IMAGE_CALLABLE PVOID NTAPI ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE BusType,
                                                 ULONG SystemIoBusNumber,
                                                 SCSI_PHYSICAL_ADDRESS IoAddress,
                                                 ULONG NumberOfBytes, BOOLEAN InIoSpace) {
  (void)HwDeviceExtension;
  return PortDriver::active().getDeviceBase(BusType, SystemIoBusNumber, IoAddress, NumberOfBytes,
                                            InIoSpace);
}

IMAGE_CALLABLE PVOID NTAPI ScsiPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId,
                                                  UCHAR TargetId, UCHAR Lun) {
  (void)HwDeviceExtension;
  return PortDriver::active().getLogicalUnit(PathId, TargetId, Lun);
}

IMAGE_CALLABLE void KAV_CDECL ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType,
                                                   PVOID HwDeviceExtension, ...) {
  (void)HwDeviceExtension;
  PSCSI_REQUEST_BLOCK srb = nullptr;
  if (NotificationType == RequestComplete) {
    va_list arguments;
    va_start(arguments, HwDeviceExtension);
    srb = va_arg(arguments, PSCSI_REQUEST_BLOCK);
    va_end(arguments);
  }
  PortDriver::active().notify(NotificationType, srb);
}

IMAGE_CALLABLE void NTAPI ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId,
                                                  UCHAR TargetId, UCHAR Lun, UCHAR SrbStatus) {
  (void)HwDeviceExtension;
  PortDriver::active().completeRequest(PathId, TargetId, Lun, SrbStatus);
}

IMAGE_CALLABLE void NTAPI ScsiPortLogError(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb,
                                           UCHAR PathId, UCHAR TargetId, UCHAR Lun, ULONG ErrorCode,
                                           ULONG UniqueId) {
  (void)HwDeviceExtension;
  PortDriver::active().logError(Srb, PathId, TargetId, Lun, ErrorCode, UniqueId);
}

IMAGE_CALLABLE void NTAPI ScsiPortStallExecution(ULONG Delay) {
  PortDriver::active().stall(Delay);
}

IMAGE_CALLABLE UCHAR NTAPI ScsiPortReadPortUchar(PUCHAR Port) {
  return static_cast<UCHAR>(Io().read(PortNumber(Port), 1));
}

IMAGE_CALLABLE void NTAPI ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value) {
  Io().write(PortNumber(Port), 1, Value);
}

IMAGE_CALLABLE void NTAPI ScsiPortReadPortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
  Io().readBlock(PortNumber(Port), 1, Buffer, Count);
}

IMAGE_CALLABLE void NTAPI ScsiPortReadPortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  Io().readBlock(PortNumber(Port), 2, reinterpret_cast<uint8_t *>(Buffer), Count);
}

IMAGE_CALLABLE void NTAPI ScsiPortReadPortBufferUlong(PULONG Port, PULONG Buffer, ULONG Count) {
  Io().readBlock(PortNumber(Port), 4, reinterpret_cast<uint8_t *>(Buffer), Count);
}

IMAGE_CALLABLE void NTAPI ScsiPortWritePortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
  Io().writeBlock(PortNumber(Port), 1, Buffer, Count);
}

IMAGE_CALLABLE void NTAPI ScsiPortWritePortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  Io().writeBlock(PortNumber(Port), 2, reinterpret_cast<const uint8_t *>(Buffer), Count);
}

IMAGE_CALLABLE void NTAPI ScsiPortWritePortBufferUlong(PULONG Port, PULONG Buffer, ULONG Count) {
  Io().writeBlock(PortNumber(Port), 4, reinterpret_cast<const uint8_t *>(Buffer), Count);
}

} // extern "C"

namespace {

// What an image's call of ScsiPortConvertUlongToPhysicalAddress is bound to.
IMAGE_CALLABLE unsigned long long NTAPI ConvertUlongToPhysicalAddressForImage(ULONG Address) {
  return static_cast<unsigned long long>(ScsiPortConvertUlongToPhysicalAddress(Address).QuadPart);
}

template <typename Routine> void *AddressOf(Routine routine) {
  return reinterpret_cast<void *>(routine);
}

} // namespace

namespace sim {

const std::vector<ScsiPortExport> &ScsiPortExports() {
  static const std::vector<ScsiPortExport> exports = {
      {"ScsiPortInitialize", AddressOf(ScsiPortInitialize)},
      {"ScsiPortConvertUlongToPhysicalAddress", AddressOf(ConvertUlongToPhysicalAddressForImage)},
      {"ScsiPortGetDeviceBase", AddressOf(ScsiPortGetDeviceBase)},
      {"ScsiPortGetLogicalUnit", AddressOf(ScsiPortGetLogicalUnit)},
      {"ScsiPortNotification", AddressOf(ScsiPortNotification)},
      {"ScsiPortCompleteRequest", AddressOf(ScsiPortCompleteRequest)},
      {"ScsiPortLogError", AddressOf(ScsiPortLogError)},
      {"ScsiPortStallExecution", AddressOf(ScsiPortStallExecution)},
      {"ScsiPortReadPortUchar", AddressOf(ScsiPortReadPortUchar)},
      {"ScsiPortWritePortUchar", AddressOf(ScsiPortWritePortUchar)},
      {"ScsiPortReadPortBufferUchar", AddressOf(ScsiPortReadPortBufferUchar)},
      {"ScsiPortReadPortBufferUshort", AddressOf(ScsiPortReadPortBufferUshort)},
      {"ScsiPortReadPortBufferUlong", AddressOf(ScsiPortReadPortBufferUlong)},
      {"ScsiPortWritePortBufferUchar", AddressOf(ScsiPortWritePortBufferUchar)},
      {"ScsiPortWritePortBufferUshort", AddressOf(ScsiPortWritePortBufferUshort)},
      {"ScsiPortWritePortBufferUlong", AddressOf(ScsiPortWritePortBufferUlong)},
  };
  return exports;
}

} // namespace sim
