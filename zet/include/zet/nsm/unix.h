// The socket backend: a peer network services module on a Unix stream socket, speaking the
// framing of docs/nsm-protocol.md. The encoders and the frame reader are shared with the peer
// tool and the tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zet/nsm/msg.h"
#include "zet/nsm/view.h"

class nsm_backend;
class nsm_backend_owner;

enum : uint8_t {
    NSM_UNIX_VERSION = 1,
};

enum : uint16_t {
    NSM_UNIX_HELLO = 1,
    NSM_UNIX_IF_ADD = 2,
    NSM_UNIX_IF_DELETE = 3,
    NSM_UNIX_SYNC_END = 4,
    // The message types of the module keep their numbers: 29, 30, 115, 116, 121..124, 168, 169.
};

enum : size_t {
    NSM_UNIX_HEADER_SIZE = 8,
    NSM_UNIX_FRAME_MAX = 16384,
    NSM_UNIX_VLAN_PORT_MAX = 4094,
};

struct nsm_unix_frame {
    uint16_t type = 0;
    std::vector<uint8_t> payload;
};

// Encoders: each gives one complete frame.
std::vector<uint8_t> nsm_unix_encode(uint16_t type, const std::vector<uint8_t> &payload);
std::vector<uint8_t> nsm_unix_hello(uint16_t protocol, uint64_t services);
std::vector<uint8_t> nsm_unix_if_add(uint32_t ifindex, const std::string &name, uint32_t flags,
                                     const uint8_t *hw, uint8_t hw_len);
std::vector<uint8_t> nsm_unix_if_delete(uint32_t ifindex);
std::vector<uint8_t> nsm_unix_sync_end();
// type 29 or 30.
std::vector<uint8_t> nsm_unix_link(uint16_t type, uint32_t ifindex, uint32_t flags,
                                   const uint8_t *hw, uint8_t hw_len);
// type 115 or 116.
std::vector<uint8_t> nsm_unix_bridge(uint16_t type, const std::string &name, uint8_t bridge_type);
// type 121 or 122.
std::vector<uint8_t> nsm_unix_vlan(uint16_t type, const std::string &bridge, uint16_t vid);
// type 123 or 124.
std::vector<uint8_t> nsm_unix_vlan_port(uint16_t type, uint32_t ifindex,
                                        const std::vector<uint16_t> &entries);
// vid: the VLAN of a VLAN block or unblock, else 0.
std::vector<uint8_t> nsm_unix_port_state(uint16_t flags, uint32_t ifindex, uint16_t vid = 0);
// type 169.
std::vector<uint8_t> nsm_unix_fdb_move(const nsm_msg_fdb_move &move);

// Takes one complete frame off the front of buf: 1 when taken, 0 when more bytes are needed,
// -1 when the bytes cannot be a frame (wrong version, length out of bounds).
int nsm_unix_take_frame(std::vector<uint8_t> &buf, nsm_unix_frame *out);

// Applies a frame of the module to a view: 0, or -1 when it is malformed or contradicts the
// view (why says how); the view is then unchanged.
int nsm_unix_apply_frame(nsm_view &view, const nsm_unix_frame &frame, std::string *why);
// Every frame that describes view, ending with the end-of-synchronisation marker.
std::vector<std::vector<uint8_t>> nsm_unix_view_frames(const nsm_view &view);
// Reads a hello or a port-state frame: 0, or -1 when malformed.
int nsm_unix_read_hello(const nsm_unix_frame &frame, uint16_t *protocol, uint64_t *services);
// A port-state frame's VLAN goes to vid when given: 0 for a request of the whole port.
int nsm_unix_read_port_state(const nsm_unix_frame &frame, uint16_t *flags, uint32_t *ifindex,
                             uint16_t *vid = nullptr);
// Reads a forwarding-database move: 0, or -1 when malformed or naming interfaces that are no
// two different ports of view (why says how).
int nsm_unix_read_fdb_move(const nsm_view &view, const nsm_unix_frame &frame,
                           nsm_msg_fdb_move *move, std::string *why);

std::unique_ptr<nsm_backend> nsm_unix_backend_create(nsm_backend_owner *nc,
                                                     const std::string &path);
