// A port's protect-VLAN entries. An entry is active while its port is a member of its VLAN; the
// counts are read off the entries and the membership, never kept.
#pragma once

#include <cstdint>
#include <vector>

struct vesk_port;

struct vesk_provlan {
    uint16_t vid;
    // Where the entry comes in the order the operator added them, which the show and
    // configuration lines and the frames keep (vesk_port_provlans_in_order).
    uint32_t added;
    // A loop was detected on this VLAN.
    uint8_t is_loop;
    // The frame sent last for this VLAN came back.
    uint8_t back;
    // Frames of this VLAN's own fast start still to send: a VLAN protected while its port was
    // already probing starts on its own, the others go on as they were.
    uint8_t fast_left;
    // Wall-clock seconds at which the last detection frame for this VLAN was built.
    uint32_t tx_time;
    // The four check values of that frame, each high byte first.
    uint8_t tx_check[8];
    // Whole seconds of the monotonic clock at which that frame was built: the verdict judges a
    // returning frame's age by it, so a step of the time of day neither delays nor stops a cut.
    uint32_t tx_mono;
};

// The port's entries in the order they were added.
std::vector<struct vesk_provlan *> vesk_port_provlans_in_order(struct vesk_port *port);
std::vector<const struct vesk_provlan *> vesk_port_provlans_in_order(const struct vesk_port *port);
// The port's entry for vid, or null.
struct vesk_provlan *vesk_find_provlan_from_port(uint16_t vid, struct vesk_port *port);
// The port is a member of the entry's VLAN.
bool vesk_provlan_active(const struct vesk_port *port, const struct vesk_provlan &entry);
unsigned vesk_port_provlan_count(const struct vesk_port *port);
unsigned vesk_port_active_provlan_count(const struct vesk_port *port);
unsigned vesk_port_loop_vlan_count(const struct vesk_port *port);
// Creates the entry for vid, active when the port is a member of vid: 0 (also when it is there
// already), or -13 at the limit. Starts the machine when the port gains its first active entry,
// gives a further one a fast start of its own unless the port is cut or about to resume.
int vesk_add_provlan_to_port(uint16_t vid, struct vesk_port *port);
// Removes the entry for vid, if any; stops the machine when no active entry is left, or lets a
// cut port resume soon when its looped VLAN went.
void vesk_remove_provlan_from_port(uint16_t vid, struct vesk_port *port);
// Every entry goes, each as vesk_remove_provlan_from_port.
void vesk_remove_all_provlans(struct vesk_port *port);
// The port became a member of vid (old_active: its active entries before): as a new entry.
void vesk_provlan_vlan_joined(struct vesk_port *port, uint16_t vid, unsigned old_active);
// The port is a member of vid no more: its entry, if any, stays, inactive and unlooped.
void vesk_provlan_vlan_left(struct vesk_port *port, uint16_t vid);
// Clears every loop flag of a port that is still in its bridge.
void vesk_port_clear_all_provlan_loopflag(struct vesk_port *port);
