// VLAN range lists at the full VLAN space: adding, finding and deleting one VLAN in a list that
// is one range (a port in every VLAN) and in the worst list, every other VLAN (2047 ranges).
#include <benchmark/benchmark.h>

#include "vesk/host/zet.h"
#include "vesk/model/rlist.h"

namespace {

constexpr uint16_t kVidMax = 4094;

struct RangeList {
    vesk_rlist *head = nullptr;
    ~RangeList() { vesk_free_rlist(&head); }
};

void fill_all(RangeList &list) {
    for (unsigned vid = 1; vid <= kVidMax; vid++)
        vesk_rlist_add(&list.head, static_cast<uint16_t>(vid));
}

void fill_every_other(RangeList &list) {
    for (unsigned vid = 1; vid <= kVidMax; vid += 2)
        vesk_rlist_add(&list.head, static_cast<uint16_t>(vid));
}

// Building the list of a port that joins all 4094 VLANs, one join at a time.
void BM_RlistJoinAll4094(benchmark::State &state) {
    for (auto _ : state) {
        RangeList list;
        fill_all(list);
        benchmark::DoNotOptimize(list.head);
    }
    state.SetItemsProcessed(state.iterations() * kVidMax);
}
BENCHMARK(BM_RlistJoinAll4094);

// One lookup at the far end of 2047 ranges.
void BM_RlistFindWorst(benchmark::State &state) {
    RangeList list;
    fill_every_other(list);
    for (auto _ : state)
        benchmark::DoNotOptimize(vesk_find_vlan_from_rlist(4093, &list.head));
}
BENCHMARK(BM_RlistFindWorst);

// Adding the last missing VLAN that merges two ranges at the far end, and taking it out again.
void BM_RlistAddDeleteWorst(benchmark::State &state) {
    RangeList list;
    fill_every_other(list);
    for (auto _ : state) {
        vesk_rlist_add(&list.head, 4092);
        vesk_rlist_delete(&list.head, 4092);
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_RlistAddDeleteWorst);

// Splitting the single range 1-4094 in its middle and joining it again.
void BM_RlistSplitJoinFull(benchmark::State &state) {
    RangeList list;
    fill_all(list);
    for (auto _ : state) {
        vesk_rlist_delete(&list.head, 2047);
        vesk_rlist_add(&list.head, 2047);
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_RlistSplitJoinFull);

} // namespace
