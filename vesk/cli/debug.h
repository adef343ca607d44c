// The debug flags: conf_* are written by debug commands given in configure mode and read by
// nothing; term_* are the flags in force.
#pragma once

#include <cstdint>

struct vesk_debug_flags {
    uint32_t conf_event;
    uint32_t conf_nsm;
    uint32_t conf_packet;
    uint32_t term_event;
    uint32_t term_nsm;
    uint32_t term_packet;
};

constexpr uint32_t VESK_DEBUG_EVENT = 0x01;
constexpr uint32_t VESK_DEBUG_MACHINE = 0x20;
constexpr uint32_t VESK_DEBUG_NSM = 0x01;
constexpr uint32_t VESK_DEBUG_PACKET = 0x01;
constexpr uint32_t VESK_DEBUG_SEND = 0x20;
constexpr uint32_t VESK_DEBUG_RECV = 0x40;
constexpr uint32_t VESK_DEBUG_DETAIL = 0x80;

extern struct vesk_debug_flags vesk_global_debug;

#define IS_VESK_DEBUG_EVENT() (vesk_global_debug.term_event & VESK_DEBUG_EVENT)
#define IS_VESK_DEBUG_MACHINE() (vesk_global_debug.term_event & VESK_DEBUG_MACHINE)
#define IS_VESK_DEBUG_NSM() (vesk_global_debug.term_nsm & VESK_DEBUG_NSM)
#define IS_VESK_DEBUG_PACKET(bit) (vesk_global_debug.term_packet & (bit))

struct cli;
struct cli_tree;

// Clears every flag word.
void vesk_debug_init(struct vesk_debug_flags *flags);
// Installs the debug commands in exec mode.
void vesk_cli_init_debug(struct cli_tree *tree);

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
