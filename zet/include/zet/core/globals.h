// The framework handle: one record per process that every framework call takes. A record only:
// lib_start and lib_stop (zet/core/lib.h) make and free what it holds.
#pragma once

#include <cstdint>

struct zlog;
struct thread_master;
struct if_group;
struct ovx_vr;
struct cli_tree;
struct host;
struct nsm_client;
struct frame_sock;

// Platform settings: lib_start sets the defaults; the daemon writes what its operator asked for
// (each a string that fits, ended by a NUL) before it starts the network services client and
// the frame socket.
struct zet_platform {
    char nsm[256];     // network services module: "kernel" (default) or "unix:PATH"
    char frame[256];   // frame socket backend: "packet" (default) or "unix:PATH"
    char bridge[32];   // Linux bridge presented as "1"; empty (default) = first found
    char port_mac[16]; // source MAC of a port's frames: "bridge" (default) or "own"
};

struct lib_globals {
    uint32_t instance;            // log instance handed to openzlog
    struct zlog *log;             // from openzlog
    struct thread_master *master; // from thread_master_create
    struct if_group *ifg;         // every interface of the process
    struct ovx_vr *vr_priv;       // the privileged virtual router
    struct cli_tree *ctree;       // command tree
    struct host *host;            // configuration file, vty server
    struct nsm_client *nc;        // network services client, once created
    struct frame_sock *fsock;     // frame socket, once opened
    struct zet_platform platform;
};
