// The ScsiPort* entry points the driver links against on the simulation
// host. Each forwards to the port driver whose call into the driver is
// running, and the port routines reach the machine's I/O space.
#include "port_driver.h"

#include <cstdarg>

using sim::PortDriver;

static uint32_t PortNumber(const void *port) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port));
}

static sim::IoSpace &Io() {
  return PortDriver::active().machine().io;
}

extern "C" {

ULONG NTAPI ScsiPortInitialize(PVOID Argument1, PVOID Argument2,
                               PHW_INITIALIZATION_DATA HwInitializationData, PVOID HwContext) {
  return PortDriver::active().initialize(Argument1, Argument2, HwInitializationData, HwContext);
}

SCSI_PHYSICAL_ADDRESS NTAPI ScsiPortConvertUlongToPhysicalAddress(ULONG Address) {
  SCSI_PHYSICAL_ADDRESS physical;
  physical.QuadPart = Address;
  return physical;
}

PVOID NTAPI ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE BusType,
                                  ULONG SystemIoBusNumber, SCSI_PHYSICAL_ADDRESS IoAddress,
                                  ULONG NumberOfBytes, BOOLEAN InIoSpace) {
  (void)HwDeviceExtension;
  return PortDriver::active().getDeviceBase(BusType, SystemIoBusNumber, IoAddress, NumberOfBytes,
                                            InIoSpace);
}

PVOID NTAPI ScsiPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId,
                                   UCHAR Lun) {
  (void)HwDeviceExtension;
  return PortDriver::active().getLogicalUnit(PathId, TargetId, Lun);
}

void KAV_CDECL ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType,
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

void NTAPI ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun,
                                   UCHAR SrbStatus) {
  (void)HwDeviceExtension;
  PortDriver::active().completeRequest(PathId, TargetId, Lun, SrbStatus);
}

void NTAPI ScsiPortLogError(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb, UCHAR PathId,
                            UCHAR TargetId, UCHAR Lun, ULONG ErrorCode, ULONG UniqueId) {
  (void)HwDeviceExtension;
  PortDriver::active().logError(Srb, PathId, TargetId, Lun, ErrorCode, UniqueId);
}

void NTAPI ScsiPortStallExecution(ULONG Delay) {
  PortDriver::active().stall(Delay);
}

UCHAR NTAPI ScsiPortReadPortUchar(PUCHAR Port) {
  return static_cast<UCHAR>(Io().read(PortNumber(Port), 1));
}

void NTAPI ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value) {
  Io().write(PortNumber(Port), 1, Value);
}

void NTAPI ScsiPortReadPortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
  Io().readBlock(PortNumber(Port), 1, Buffer, Count);
}

void NTAPI ScsiPortReadPortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  Io().readBlock(PortNumber(Port), 2, reinterpret_cast<uint8_t *>(Buffer), Count);
}

void NTAPI ScsiPortReadPortBufferUlong(PULONG Port, PULONG Buffer, ULONG Count) {
  Io().readBlock(PortNumber(Port), 4, reinterpret_cast<uint8_t *>(Buffer), Count);
}

void NTAPI ScsiPortWritePortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
  Io().writeBlock(PortNumber(Port), 1, Buffer, Count);
}

void NTAPI ScsiPortWritePortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count) {
  Io().writeBlock(PortNumber(Port), 2, reinterpret_cast<const uint8_t *>(Buffer), Count);
}

void NTAPI ScsiPortWritePortBufferUlong(PULONG Port, PULONG Buffer, ULONG Count) {
  Io().writeBlock(PortNumber(Port), 4, reinterpret_cast<const uint8_t *>(Buffer), Count);
}

} // extern "C"
