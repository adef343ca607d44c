# What the lab's neighbours send and count, on interface argv[1] of the namespace this runs in:
#   flood other|mixed  broadcasts as fast as Python can send, until killed: other EtherTypes,
#                      alternating (mixed) with ARP requests from 0.0.0.0 the daemon's filter passes
#   talk               a host's ARP request every 50 ms, until killed
#   heard AT           talks for a second, then says whether ("heard N") or not ("none") its
#                      frames arrived at AT
#   forge IFINDEX      detection frames naming IFINDEX and VLAN 1, with the frame format's public
#                      check values, five for each second of the last twelve
#   burst FIRST COUNT  COUNT ARP requests from 0.0.0.0, told apart by their number from FIRST
#   tags SECONDS READY once READY is made, for SECONDS, the detection frames (ARP from 0.0.0.0)
#                      that arrive: one line each tag seen, how many and the tag ("untagged" or
#                      TPID and VID), sorted by tag
#   vlans TX SECONDS RATE LINK  VLAN-30 frames out of TX at RATE a second and, at 1 s, LINK up
#                      and a VLAN-20 broadcast sent: a line each half second, how many frames of
#                      VLANs 20 and 30 arrived
#   mab                MAC authentication bypass on argv[1], a bridge port locked with learning on
#                      (iproute2 of Debian 12 cannot, the lab's kernel can)
import errno
import select
import socket
import struct
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


def tagged(vid):
    return b"\xff" * 6 + bytes([2, 0, 0, 0, 0, vid]) + b"\x81\x00" + vid.to_bytes(2, "big") + b"\x88\xb5" + bytes(46)


def attr(kind, payload):
    return struct.pack("HH", 4 + len(payload), kind) + payload + bytes(-len(payload) % 4)


# Link IFNAME set by rtnetlink, as an ip command would be but at once (one takes a quarter of a
# second to start here); the error number of the answer (0: done).
def setlink(ifname, family=0, up=0, attrs=b""):
    body = struct.pack("BxHiII", family, 0, socket.if_nametoindex(ifname), up, up) + attrs
    nl = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
    nl.send(struct.pack("IHHII", 16 + len(body), 19, 5, 1, 0) + body)  # RTM_SETLINK, with an answer
    return -struct.unpack_from("i", nl.recv(4096), 16)[0]


def open_on(ifname):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
    s.bind((ifname, 0))
    s.setsockopt(263, 8, 1)  # PACKET_AUXDATA: the tag the kernel took out of the frame
    return s


# The next frame within SECONDS (None after them), its innermost tag, where its EtherType is and
# the address it came with.
def receive(s, seconds):
    if not select.select([s], [], [], max(0, seconds))[0]:
        return None, None, 0, None
    f, anc, _, where = s.recvmsg(2048, 64)
    tag, off = "untagged", 12
    for _, _, d in anc:
        st, _, _, _, _, tci, tpid = struct.unpack("IIIHHHH", d[:20])
        if st & 0x10:
            tag = "%04x %d" % (tpid if st & 0x40 else 0x8100, tci & 0xFFF)
    while f[off : off + 2] in (b"\x81\x00", b"\x88\xa8"):
        tag, off = "%s %d" % (f[off : off + 2].hex(), int.from_bytes(f[off + 2 : off + 4], "big") & 0xFFF), off + 4
    return f, tag, off, where


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
        try:
            s.send(arp(HOST, bytes([10, 9, 9, 9]), bytes([10, 9, 9, 1])))
        except OSError as e:
            # A talker in a storm loses requests to the full queue, as a host does; a request
            # that "heard" counts on must not be lost unseen.
            if e.errno != errno.ENOBUFS or at:
                raise
        time.sleep(0.05)
    heard = 0
    while (got := receive(at, 0))[0]:
        heard += got[3][2] != socket.PACKET_OUTGOING and got[0][6:12] == HOST
    print(f"heard {heard}" if heard else "none")
elif mode == "forge":
    now = int(time.time())
    for t in range(now - 11, now + 1):
        for _ in range(5):
            s.send(forged(int(args[0]), t))
elif mode == "burst":
    for n in range(int(args[0]), int(args[0]) + int(args[1])):
        s.send(arp(BRIDGE[:4] + bytes([0xBB, 2]), target=bytes([0, 0]) + n.to_bytes(2, "big")))
elif mode == "tags":
    open(args[1], "w").close()
    seen, end = {}, time.time() + float(args[0])
    while (got := receive(s, end - time.time()))[0]:
        f, tag, off, _ = got
        if f[off : off + 2] == b"\x08\x06" and f[off + 16 : off + 20] == bytes(4):
            seen[tag] = seen.get(tag, 0) + 1
    print("\n".join("%d %s" % (n, t) for t, n in sorted(seen.items())))
elif mode == "vlans":
    tx, seconds, rate = open_on(args[0]), float(args[1]), int(args[2])
    t0 = due = time.time()
    counts, seeded = {}, False
    while (now := time.time()) < t0 + seconds:
        if not seeded and now >= t0 + 1:
            setlink(args[3], up=1)
            s.send(tagged(20))
            seeded = True
        if now >= due:
            tx.send(tagged(30))
            due += 1.0 / rate
        f, tag, _, _ = receive(s, min(due, t0 + seconds) - time.time())
        if f:
            key = (int((time.time() - t0) * 2), tag.split()[-1])
            counts[key] = counts.get(key, 0) + 1
    for k in range(int(seconds * 2)):
        print("%.1f %d %d" % (k / 2, counts.get((k, "20"), 0), counts.get((k, "30"), 0)))
elif mode == "mab":  # IFLA_PROTINFO (12), nested, holding IFLA_BRPORT_MAB (40)
    sys.exit(setlink(sys.argv[1], socket.AF_BRIDGE, attrs=attr(12 | 0x8000, attr(40, b"\1"))))
