// The chaos variant's fault layer and the block it shares with the probe: which
// faults it injects, whether they are on, and how many of each it injected.
#pragma once
#include <windows.h>

#include <cstdint>

#include "hid/hid_binding.h"

// The fault points: the 19 entry-table slots in table order, then the system
// calls the program makes directly, then the periods a whole library is gone.
#define CHAOS_DIRECT_LIST(X) \
    X(CreateFileA)           \
    X(ReadFile)              \
    X(WriteFile)
constexpr int32_t Chaos_TableEntries = 19;
enum ChaosDirect : int32_t {
    ChaosDirect_Before = Chaos_TableEntries - 1,
#define CHAOS_DIRECT_PLACE(name) ChaosPoint_##name,
    CHAOS_DIRECT_LIST(CHAOS_DIRECT_PLACE)
#undef CHAOS_DIRECT_PLACE
    ChaosPoint_HidLibraryGone,
    ChaosPoint_SetupapiLibraryGone,
    ChaosPoint_Count
};

// In the chaos variant's process: "hidled_chaos.<pid>". The probe sets
// faults_on and reads the counters; the variant writes everything else.
constexpr char ChaosBlock_NamePrefix[] = "hidled_chaos.";
struct ChaosBlock {
    volatile LONG faults_on;
    uint32_t seed;
    volatile LONG calls[ChaosPoint_Count];     // calls made while faults were on
    volatile LONG injected[ChaosPoint_Count];  // of them, failed on purpose
};

// Every fault point's name, in order, each ended by its NUL.
inline constexpr char chaos_point_names[] =
#define CHAOS_POINT_NAME(name, ...) #name "\0"
    HID_ENTRY_LIST(CHAOS_POINT_NAME) CHAOS_DIRECT_LIST(CHAOS_POINT_NAME) "hid.dll-gone\0setupapi.dll-gone\0";
#undef CHAOS_POINT_NAME
static_assert(HidEntry_Count == Chaos_TableEntries);
