// What veskd did and saw, for the operator: the event history and the counters.
#pragma once

struct cli;
struct cli_tree;
struct interface;
struct vesk_port;

// "show loop-detect events", "clear loop-detect events", "show loop-detect statistics
// [interface IFNAME]", "clear loop-detect statistics".
void vesk_cli_init_history(struct cli_tree *tree);

// The receive thread's counts since the last clear.
struct vesk_recv_totals {
    unsigned long long read;
    unsigned long long wrong_size;
    unsigned long long shed;
};
void vesk_recv_totals_get(struct vesk_recv_totals *totals);

// The port of the interface a command names, or null after telling the operator why.
struct vesk_port *vesk_cli_named_port(struct cli *cli, const char *name);
