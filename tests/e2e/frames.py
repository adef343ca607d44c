# What the lab's neighbours send, out of interface argv[1] of the namespace this runs in:
#   flood other|mixed  broadcasts as fast as Python can send, until killed: other EtherTypes,
#                      alternating (mixed) with ARP requests from 0.0.0.0 the daemon's filter passes
#   talk               a host's ARP request every 50 ms, until killed
#   heard AT           talks for a second, then says whether ("heard N") or not ("none") its
#                      frames arrived at AT
#   forge IFINDEX      detection frames naming IFINDEX and VLAN 1, with the frame format's public
#                      check values, five for each second of the last twelve
#   burst FIRST COUNT  COUNT ARP requests from 0.0.0.0, told apart by their number from FIRST
import socket
import sys
import time

HOST = bytes([2, 0, 0, 0, 0x0A, 1])
BRIDGE = bytes([2, 0, 0, 0, 0, 1])


def arp(mac, sender=bytes(4), target=bytes(4)):
    body = b"\x08\x06\x00\x01\x08\x00\x06\x04\x00\x01" + mac + sender + bytes(6) + target
    return (b"\xff" * 6 + mac + body).ljust(60, b"\0")


# RFC 1071 over big-endian words, written low-order byte first.
def check(f, at, start, length):
    s = sum(f[start + i] << 8 | (f[start + i + 1] if i + 1 < length else 0) for i in range(0, length, 2))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    f[at : at + 2] = (~s & 0xFFFF).to_bytes(2, "little")


def forged(ifindex, t):
    f = bytearray(arp(BRIDGE))
    f[42:46], f[47], f[48:52] = ifindex.to_bytes(4, "big"), 1, t.to_bytes(4, "big")
    for at, start, length in ((52, 22, 16), (54, 38, 16), (56, 0, 29), (58, 29, 29)):
        check(f, at, start, length)
    return f


def open_on(ifname):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
    s.bind((ifname, 0))
    return s


s = open_on(sys.argv[1])
mode, args = sys.argv[2], sys.argv[3:]
if mode == "flood":
    frames = []
    for i in range(64):
        mac = bytes([2, 0x55, 0, 0, i >> 8, i & 255])
        frames.append((b"\xff" * 6 + mac + b"\x88\xb5").ljust(60, b"\0"))
        if args[0] == "mixed":
            frames.append(arp(mac, target=bytes([10, 0, 0, i])))
    while True:
        for f in frames:
            try:
                s.send(f)
            except OSError:
                pass
elif mode in ("talk", "heard"):
    at = open_on(args[0]) if mode == "heard" else None
    for _ in range(20 if at else 1 << 62):
        s.send(arp(HOST, bytes([10, 9, 9, 9]), bytes([10, 9, 9, 1])))
        time.sleep(0.05)
    at.setblocking(False)
    heard = 0
    try:
        while True:
            f, where = at.recvfrom(2048)
            heard += where[2] != socket.PACKET_OUTGOING and f[6:12] == HOST
    except BlockingIOError:
        print(f"heard {heard}" if heard else "none")
elif mode == "forge":
    now = int(time.time())
    for t in range(now - 11, now + 1):
        for _ in range(5):
            s.send(forged(int(args[0]), t))
elif mode == "burst":
    for n in range(int(args[0]), int(args[0]) + int(args[1])):
        s.send(arp(BRIDGE[:4] + bytes([0xBB, 2]), target=bytes([0, 0]) + n.to_bytes(2, "big")))
