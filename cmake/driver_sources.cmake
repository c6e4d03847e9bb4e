# The driver's sources, shared by the host libraries and the PE images.
# Paths are relative to the top of the tree.
set(KAV_DRIVER_COMMON_SOURCES
    miniport/entry.cpp
    miniport/reset.cpp
    miniport/dispatch.cpp
    engine/chip.cpp
    engine/waits.cpp
    engine/sequencer.cpp
    engine/selection.cpp
    engine/command_status.cpp
    engine/message_phases.cpp
    engine/data_phases.cpp)
set(KAV_DRIVER_NT_SOURCES
    miniport/options_nt.cpp
    miniport/flavour_nt.cpp)
set(KAV_DRIVER_95_SOURCES
    miniport/options_95.cpp
    socket/pcic_access.cpp
    socket/card_search.cpp
    socket/tuning.cpp)
set(KAV_DRIVER_INCLUDE_DIRS port miniport engine socket)

# Freestanding: no exceptions, RTTI, library headers or library calls. The
# loop-pattern option keeps GCC from turning loops into memset (clang, which
# builds only the fuzz tree, has no such option).
set(KAV_DRIVER_FLAGS
    -ffreestanding -fno-builtin -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
    -nostdinc -nostdinc++
    -Wall -Wextra)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND KAV_DRIVER_FLAGS -fno-tree-loop-distribute-patterns)
endif()

function(kav_driver_sources flavour out)
  set(list ${KAV_DRIVER_COMMON_SOURCES} ${KAV_DRIVER_${flavour}_SOURCES})
  list(TRANSFORM list PREPEND "${KAV_TOP}/")
  set(${out} ${list} PARENT_SCOPE)
endfunction()

function(kav_driver_include_dirs out)
  set(list ${KAV_DRIVER_INCLUDE_DIRS})
  list(TRANSFORM list PREPEND "${KAV_TOP}/")
  set(${out} ${list} PARENT_SCOPE)
endfunction()
