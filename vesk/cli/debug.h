// The debug commands: "debug loop-detect ...", their "no" forms and "show debugging". The flags
// they set live in vesk/host/debug_flags.h, where every layer reads them.
#pragma once

#include "vesk/host/debug_flags.h"

struct cli;
struct cli_element;

// Debug command handlers, all giving 0. In exec mode they change the flags in force and say so;
// in configure mode they change the configuration words too, silently; elsewhere nothing.
int debug_vesk_packet(struct cli *cli, int argc, char **argv);
int no_debug_vesk_packet(struct cli *cli, int argc, char **argv);
int debug_vesk_events(struct cli *cli, int argc, char **argv);
int no_debug_vesk_events(struct cli *cli, int argc, char **argv);
int debug_vesk_machine(struct cli *cli, int argc, char **argv);
int no_debug_vesk_machine(struct cli *cli, int argc, char **argv);
int debug_vesk_nsm(struct cli *cli, int argc, char **argv);
int no_debug_vesk_nsm(struct cli *cli, int argc, char **argv);
int debug_vesk_all(struct cli *cli, int argc, char **argv);
int no_debug_vesk_all(struct cli *cli, int argc, char **argv);
// "show debugging" and "show debugging loop-detect": the flags in force.
int show_debugging_vesk(struct cli *cli, int argc, char **argv);

extern const struct cli_element debug_vesk_packet_cmd;
extern const struct cli_element no_debug_vesk_packet_cmd;
extern const struct cli_element debug_vesk_events_cmd;
extern const struct cli_element no_debug_vesk_events_cmd;
extern const struct cli_element debug_vesk_machine_cmd;
extern const struct cli_element no_debug_vesk_machine_cmd;
extern const struct cli_element debug_vesk_nsm_cmd;
extern const struct cli_element no_debug_vesk_nsm_cmd;
extern const struct cli_element show_debugging_vesk_cmd;
extern const struct cli_element no_debug_vesk_all_cmd;
extern const struct cli_element show_debugging_vesk_all_cmd;
extern const struct cli_element no_debug_all_vesk_cmd;
extern const struct cli_element debug_vesk_all_cmd;
