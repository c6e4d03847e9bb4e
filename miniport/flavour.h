// The two deliverables, KAV95 (Windows 95, PC Card) and KAVNT (Windows NT 4.0),
// are built from the same sources. Everything in which they differ is a
// compile-time constant here; the build defines KAV_FLAVOUR_95 or
// KAV_FLAVOUR_NT. Each flavour's code lives in its own namespace, so that the
// simulation host can hold both drivers in one process.
#ifndef KAV_MINIPORT_FLAVOUR_H
#define KAV_MINIPORT_FLAVOUR_H

#include "scsiport.h"

#if defined(KAV_FLAVOUR_95) && !defined(KAV_FLAVOUR_NT)
#define KAV_NS kav95
// KAV95 keeps its socket-controller settings after AsyncOnly.
#define KAV_FLAVOUR_EXTENSION_FIELDS                                                               \
  UCHAR Tp560;                                                                                     \
  UCHAR Cirrus;                                                                                    \
  UCHAR Socket;                                                                                    \
  ULONG PcicBase;
namespace kav95 {
constexpr bool FLAVOUR_IS_95 = true;
constexpr INTERFACE_TYPE FLAVOUR_INTERFACE_TYPE = PCMCIABus;
constexpr ULONG FLAVOUR_CHIP_OFFSET = 0x10;         // chip block inside the first range
constexpr ULONG FLAVOUR_REPORTED_ACCESS_RANGES = 2; // reported, although one is used
constexpr BOOLEAN FLAVOUR_SETS_DEMAND_MODE = FALSE; // left as the port driver set it
} // namespace kav95
#elif defined(KAV_FLAVOUR_NT) && !defined(KAV_FLAVOUR_95)
#define KAV_NS kavnt
#define KAV_FLAVOUR_EXTENSION_FIELDS
namespace kavnt {
constexpr bool FLAVOUR_IS_95 = false;
constexpr INTERFACE_TYPE FLAVOUR_INTERFACE_TYPE = Isa;
constexpr ULONG FLAVOUR_CHIP_OFFSET = 0x400;
constexpr ULONG FLAVOUR_REPORTED_ACCESS_RANGES = 1;
constexpr BOOLEAN FLAVOUR_SETS_DEMAND_MODE = TRUE;
} // namespace kavnt
#else
#error "define exactly one of KAV_FLAVOUR_95 and KAV_FLAVOUR_NT"
#endif

#endif // KAV_MINIPORT_FLAVOUR_H
