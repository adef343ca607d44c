// Interfaces and virtual routers.
#pragma once

#include <cstdint>

struct lib_globals;
struct ovx_vr;

enum : int {
    INTERFACE_NAMSIZ = 20,
    INTERFACE_HWADDR_MAX = 6,
    INTERFACE_DESC_MAX = 64,
    BRIDGE_NAMSIZ = 16,
};

// An interface. The record begins with its name.
struct interface {
    char name[INTERFACE_NAMSIZ + 1];
    uint32_t ifindex;
    uint32_t flags; // IFF_* as the kernel gives them
    uint8_t hw_addr[INTERFACE_HWADDR_MAX];
    int hw_addr_len;
    char desc[INTERFACE_DESC_MAX];
    struct ovx_vr *vr;
    void *info;                          // the protocol's slot (the daemon's port)
    char bridge_name[BRIDGE_NAMSIZ + 1]; // the protocol's bridge-name slot
    // Platform facts kept by the NSM backend for the frame socket.
    uint32_t bridge_ifindex;    // Linux bridge this is a port of, 0 if none
    uint8_t untagged[4096 / 8]; // VLANs this port sends untagged (bit per VLAN)
    uint16_t vlan_tpid;         // the tag protocol of its tagged frames; 0 for 802.1Q
};

// Interface table of a virtual router, by index.
struct if_vr_table;

struct ovx_vr {
    uint32_t id; // 0 for the privileged router
    char name[32];
    void *proto; // the protocol's slot (the daemon's master record)
    struct if_vr_table *ifm;
    struct lib_globals *zg;
};

// The group of every interface of the process.
struct if_group;

enum if_hook_kind : int {
    IF_HOOK_VR_UNBIND = 6, // the interface leaves its virtual router (called before it goes)
    IF_HOOK_RENAME = 7,    // the interface has a new name (called after the rename)
};

typedef int (*if_hook_func)(struct interface *ifp);

struct interface *ifg_lookup_by_index(struct if_group *ifg, uint32_t ifindex);
struct interface *ifg_lookup_by_name(struct if_group *ifg, const char *name);
// The interface of that name, or null: interfaces are made by the NSM backend only.
struct interface *ifg_get_by_name(struct if_group *ifg, const char *name);
// Adds hook to those of kind (several may be added; they run in the order added).
int if_add_hook(struct if_group *ifg, int kind, if_hook_func hook);

struct ovx_vr *ovx_vr_get_privileged(struct lib_globals *zg);
struct interface *if_lookup_by_index(struct if_vr_table *table, uint32_t ifindex);

// Whether flags (IFF_* as the kernel gives them) say up and running: IFF_UP and IFF_RUNNING
// both set. The one test of "up" for the framework and the daemon.
bool if_flags_up(uint32_t flags);
// if_flags_up of the interface's flags; false for null.
bool if_is_up(const struct interface *ifp);
// Natural name order: ge2 before ge10, then plain text order.
int ifname_cmp3(const char *a, const char *b);

// Framework side, for the NSM backends: the group, and interfaces coming and going.
struct if_group *ifg_create(void);
// Frees the group and every interface still in it (no hooks are called).
void ifg_free(struct if_group *ifg);
struct ovx_vr *ovx_vr_create_privileged(struct lib_globals *zg);
// Frees the router's table (not its interfaces, which the group owns, nor proto).
void ovx_vr_free(struct ovx_vr *vr);
// Makes an interface in the privileged router; null on no memory, a duplicate index or name,
// index 0, or an empty or too long name.
struct interface *if_create(struct lib_globals *zg, const char *name, uint32_t ifindex);
// Calls the unbind hooks, then removes the interface from its router and the group.
void if_delete(struct lib_globals *zg, struct interface *ifp);
// Renames an interface, keeping the group's name index current (and so ifg_foreach's order), then
// calls the rename hooks. 0, or -1 (bad or too long name, or the name is taken).
int if_rename(struct lib_globals *zg, struct interface *ifp, const char *name);
// Calls fn for every interface of the group in natural name order.
void ifg_foreach(struct if_group *ifg, void (*fn)(void *ctx, struct interface *ifp), void *ctx);
