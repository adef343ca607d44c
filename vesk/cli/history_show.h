// What veskd did and saw, for the operator: the event history and the counters.
#pragma once

struct cli_element;

// The receive thread's counts since the last clear.
struct vesk_recv_totals {
    unsigned long long read;
    unsigned long long wrong_size;
    unsigned long long shed;
};
void vesk_recv_totals_get(struct vesk_recv_totals *totals);

// "show loop-detect events", "clear loop-detect events", "show loop-detect statistics
// [interface IFNAME]", "clear loop-detect statistics".
extern const struct cli_element show_vesk_events_cmd;
extern const struct cli_element clear_vesk_events_cmd;
extern const struct cli_element show_vesk_statistics_cmd;
extern const struct cli_element show_vesk_statistics_port_cmd;
extern const struct cli_element clear_vesk_statistics_cmd;
