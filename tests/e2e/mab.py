# Turns on MAC authentication bypass on bridge port argv[1] of the namespace this runs in (the
# port must be locked with learning on). iproute2 of Debian 12 cannot, the lab's kernel can.
import socket
import struct
import sys

RTM_SETLINK, NLM_F_REQUEST_ACK, IFLA_PROTINFO, NLA_F_NESTED, IFLA_BRPORT_MAB = 19, 5, 12, 0x8000, 40


def attr(kind, payload):
    a = struct.pack("HH", 4 + len(payload), kind) + payload
    return a + bytes(-len(a) % 4)


protinfo = attr(IFLA_PROTINFO | NLA_F_NESTED, attr(IFLA_BRPORT_MAB, b"\1"))
body = struct.pack("BxHiII", socket.AF_BRIDGE, 0, socket.if_nametoindex(sys.argv[1]), 0, 0) + protinfo
s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
s.send(struct.pack("IHHII", 16 + len(body), RTM_SETLINK, NLM_F_REQUEST_ACK, 1, 0) + body)
sys.exit(-struct.unpack_from("i", s.recv(4096), 16)[0])
