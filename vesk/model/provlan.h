// A port's protect-VLAN entries and the counters that start and stop its state machine.
#pragma once

#include <cstdint>

struct vesk_port;

struct vesk_provlan {
    uint16_t vid;
    // A loop was detected on this VLAN.
    uint8_t is_loop;
    // The frame sent last for this VLAN came back.
    uint8_t back;
    // Frames of this VLAN's own fast start still to send: a VLAN protected while its port was
    // already probing starts on its own, the others go on as they were.
    uint8_t fast_left;
    // The port is a member of this VLAN: the entry is active.
    uint32_t in_vlan;
    // Wall-clock seconds at which the last detection frame for this VLAN was built.
    uint32_t tx_time;
    // The four check values of that frame, each high byte first.
    uint8_t tx_check[8];
    // Whole seconds of the monotonic clock at which that frame was built: the verdict judges a
    // returning frame's age by it, so a step of the time of day neither delays nor stops a cut.
    uint32_t tx_mono;
};

// The port's entry for vid, or null.
struct vesk_provlan *vesk_find_provlan_from_port(uint16_t vid, struct vesk_port *port);
// 1 when one more entry fits, else 0.
int vesk_check_protect_vlan_count(struct vesk_port *port);
// With entry null: creates an entry (active when in_vlan is 1); -13 at the limit, -14 without
// memory. With an entry: activates it when in_vlan is 1. Starts the machine when the port gains
// its first active entry, restarts it for a further one unless the port is shut down.
int vesk_add_provlan_to_port(struct vesk_provlan *entry, uint16_t vid, struct vesk_port *port,
                             uint32_t in_vlan);
// Deactivates the entry for vid (remove 0, only an active one) or removes it (remove non-zero).
// Stops the machine when no active entry is left. Always 0.
int vesk_remove_provlan_from_port(uint16_t vid, struct vesk_port *port, int remove);
// As vesk_remove_provlan_from_port with force in place of remove, but never unlinks or frees
// the entry: the caller does that. Always 0.
int vesk_remove_allprovlan_from_port(uint16_t vid, struct vesk_port *port, int force);
// Clears every loop flag of a port that is still in its bridge.
void vesk_port_clear_all_provlan_loopflag(struct vesk_port *port);
// Frees one entry; the item destructor of a port's provlan_info list.
void vesk_free_protect_vlan(void *entry);
