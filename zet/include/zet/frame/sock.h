// The switch platform's frame socket (address family 53): frames cross it from their ARP header
// on; the link header is built on send from a 20-byte send address and taken apart on receive
// into a 16-byte receive address. The backend is chosen by zg->platform.frame:
// "packet" (default, AF_PACKET on every interface) or "unix:PATH" (a wire peer, see
// docs/frame-protocol.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

#include "zet/frame/addr.h"

struct lib_globals;
struct frame_sock;

enum : int { AF_FRAME_SOCK = 53 };

// socket(AF_FRAME_SOCK, SOCK_RAW, 0): opens the process's frame socket on zg's backend and
// keeps it in zg->fsock. Gives a real descriptor that becomes readable when a frame may be
// waiting, or -1 with errno (EAFNOSUPPORT, EPROTONOSUPPORT for other arguments; EEXIST when zg
// already has one; the backend's error otherwise).
int pal_sock(struct lib_globals *zg, int family, int type, int protocol);

// sendto: data is the frame from its ARP header on; to is a frame_send_addr of tolen 20. Gives
// len, or -1 with errno (EBADF not a frame socket, EINVAL bad address or VLAN, EMSGSIZE over
// FRAME_PAYLOAD_MAX, ENODEV unknown port, ENETDOWN port down, ...).
ssize_t pal_sock_sendto(int fd, const void *data, size_t len, int flags, const void *to,
                        socklen_t tolen);

// recvfrom: blocks (unless flags has MSG_DONTWAIT) until a frame arrives, copies at most len
// bytes of it from its ARP header on, and fills from (a frame_recv_addr) with *fromlen. With
// MSG_TRUNC gives the frame's full length, else the bytes copied; -1 with errno otherwise.
// Once the socket is closed, also while blocked here, gives -1 with EBADF.
ssize_t pal_sock_recvfrom(int fd, void *buf, size_t len, int flags, void *from, socklen_t *fromlen);

// Closes the frame socket that zg->fsock holds; lib_stop calls it. A reader blocked in
// pal_sock_recvfrom returns EBADF; the descriptor is released after the last caller leaves.
void frame_sock_close(struct lib_globals *zg);
