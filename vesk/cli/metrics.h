// veskd's state and counters in the Prometheus text format (docs/metrics.md): what "show
// loop-detect metrics" prints and the metrics file holds.
#pragma once

#include <string>

struct cli_element;
struct lib_globals;
struct vesk_event;

// The whole text, ending in a line end; only veskd_up and veskd_build_info without a bridge
// "1".
std::string vesk_metrics_text(struct lib_globals *zg);
// Counts what the history records that the counters of a port do not keep: loops by VLAN, and
// when the latest loop's frame was sent. Runs in the verdict: it only counts.
void vesk_metrics_note_event(struct lib_globals *zg, const struct vesk_event *e);

// "show loop-detect metrics".
extern const struct cli_element show_vesk_metrics_cmd;
