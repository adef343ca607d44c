#!/usr/bin/python3
"""Writes the binary seeds under fuzz/corpus/<target>/ (inputs a fuzzer would take long to find:
frames proving a loop against the verdict target's state, rtnetlink dumps, NSM peer streams).
Run it again after changing the fuzz state or a framing; the seeds are committed."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz", "corpus")
TIME_OF_DAY = 1700000000
UP_RUNNING = 0x1 | 0x40


def write(target, name, data):
    os.makedirs(os.path.join(ROOT, target), exist_ok=True)
    with open(os.path.join(ROOT, target, name), "wb") as f:
        f.write(data)


def in_checksum(data):
    """Ones'-complement sum of little-endian words, written high byte first."""
    s = sum(data[i] | (data[i + 1] << 8) for i in range(0, len(data) - 1, 2))
    s += data[-1] if len(data) % 2 else 0
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return struct.pack(">H", ~s & 0xFFFF)


def frame(ifindex, vid):
    mac = bytes([2, 0, 0, 0, 0, ifindex])
    image = bytearray(b"\xff" * 6 + mac + bytes([8, 6, 0, 1, 8, 0, 6, 4, 0, 1]) + mac + bytes(33))
    image[42:52] = struct.pack(">IHI", ifindex, vid, TIME_OF_DAY)
    for at, (a, b) in zip(range(52, 60, 2), ((22, 38), (38, 54), (0, 29), (29, 58))):
        image[at:at + 2] = in_checksum(bytes(image[a:b]))  # each covers those before it
    return bytes(image[14:60])


def verdict_seeds():
    """Records: receiving interface, control byte (fuzz_verdict.cpp), the 46 frame bytes."""
    def put(name, *records):
        write("fuzz_verdict", name, b"".join(bytes([rx, control]) + data
                                             for rx, control, data in records))
    ge1_v10, ge2_v30 = frame(1, 10), frame(2, 30)
    put("loop_same_port", (1, 0, ge1_v10))
    put("loop_other_port_same_mac", (4, 0, frame(1, 1)))
    put("loop_log_only", (3, 2, frame(3, 1)))
    put("loop_then_force_up", (2, 0, ge2_v30), (2, 5, ge2_v30), (2, 1, ge2_v30))
    put("stale_five_times", *[(1, 0x70 if i == 0 else 2, ge1_v10) for i in range(6)])
    put("arp_reply", (1, 2, ge1_v10[:7] + b"\x02" + ge1_v10[8:]))
    other = bytes([0, 1, 8, 0, 6, 4, 0, 1, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 10, 0, 0, 1]
                  + [0] * 6 + [10, 0, 0, 2] + [0] * 18)
    put("foreign_arp", (1, 2, other))
    put("bad_check", (1, 2, ge1_v10[:45] + bytes([ge1_v10[45] ^ 1])))
    put("unknown_vlan", (1, 2, frame(1, 77)))
    put("not_a_port", (5, 2, ge1_v10))


def attr(kind, payload):
    return struct.pack("=HH", 4 + len(payload), kind) + payload + b"\0" * (-len(payload) % 4)


def nlmsg(msg_type, body):
    return struct.pack("=IHHII", 16 + len(body), msg_type, 0, 1, 0) + body


def link_msg(msg_type, family, ifindex, flags, attrs):
    return nlmsg(msg_type, struct.pack("=BBHiII", family, 0, 1, ifindex, flags, 0) + b"".join(attrs))


def port_link(ifindex, name, master, flags=UP_RUNNING):
    return link_msg(16, 0, ifindex, flags, [attr(3, name + b"\0"), attr(
        1, bytes([2, 0, 0, 0, 0, ifindex])), attr(10, struct.pack("=I", master))])


def bridge_link(ifindex, name, filtering):
    kind = attr(1, b"bridge\0") + attr(2, attr(7, bytes([filtering])))  # vlan_filtering
    return link_msg(16, 0, ifindex, UP_RUNNING, [attr(3, name + b"\0"), attr(
        1, bytes([2, 0xAA, 0, 0, 0, ifindex])), attr(18, kind)])


def bridge_vlans(ifindex, vlans):
    """AF_BRIDGE link message of a port (or the bridge) of br0: (vid, flags) pairs; flags 2
    PVID, 4 untagged, 8 and 16 the first and last of a range."""
    return link_msg(16, 7, ifindex, UP_RUNNING, [attr(10, struct.pack("=I", 10)), attr(
        26, b"".join(attr(2, struct.pack("=HH", flags, vid)) for vid, flags in vlans))])


def fdb_msg(msg_type, ifindex, mac, vid, state=0x02):
    body = struct.pack("=BBHiHBB", 7, 0, 0, ifindex, state, 0, 0)
    body += attr(2, mac) + attr(9, struct.pack("=I", 10)) + (attr(5, struct.pack("=H", vid))
                                                          if vid else b"")
    return nlmsg(msg_type, body)


def netlink_seeds():
    """The first byte picks the backend's options (fuzz_netlink.cpp)."""
    rig = (bridge_link(10, b"br0", 1) + port_link(11, b"ge1", 10) + port_link(12, b"ge2", 10) +
           bridge_vlans(10, [(1, 6), (10, 0)]) + bridge_vlans(11, [(1, 6), (10, 0)]) +
           bridge_vlans(12, [(20, 8), (30, 16)]))
    plain = bridge_link(20, b"br1", 0) + port_link(21, b"eth1", 20) + port_link(22, b"eth2", 20)
    host = bytes([2, 0, 0, 0, 0x0A, 1])
    protinfo = b"".join(attr(kind, bytes([value])) for kind, value in ((8, 0), (9, 0), (38, 1)))
    for name, data in {
            "vlan_bridge": b"\x00" + rig, "vlan_bridge_named_own_mac": b"\x03" + rig,
            "flap_and_delete": b"\x00" + rig + port_link(11, b"ge1", 10, 0x1) +
            port_link(11, b"ge1", 10) + link_msg(17, 7, 12, UP_RUNNING, []) +
            link_msg(17, 0, 12, 0, []),
            "plain_bridge": b"\x00" + plain,
            "move_port": b"\x00" + rig + plain + port_link(11, b"ge1", 20),
            # A host's address flapping between the ports (a loop), then forgotten; a static
            # entry; a port's flags (learning, flooding off, locked) as a block leaves them.
            "fdb_flap": b"\x00" + rig + b"".join(fdb_msg(28, p, host, 10) for p in (11, 12) * 2) +
            fdb_msg(29, 12, host, 10) + fdb_msg(28, 11, host, 0, 0x80),
            "port_flags": b"\x00" + rig + link_msg(16, 7, 11, UP_RUNNING, [
                attr(10, struct.pack("=I", 10)), attr(12 | 0x8000, protinfo)]),
    }.items():
        write("fuzz_netlink", name, data)


def nsm(kind, payload=b""):
    return struct.pack(">BBHI", 1, 0, kind, 8 + len(payload)) + payload


def if_add(ifindex, name, flags=UP_RUNNING):
    return nsm(2, struct.pack(">IIB6sx21s", ifindex, flags, 6, bytes([2, 0, 0, 0, 0, ifindex]),
                              name))


def vlan_port(kind, ifindex, entries):
    return nsm(kind, struct.pack(">IH%dH" % len(entries), ifindex, len(entries), *entries))


def nsm_seeds():
    def bridge(kind, name):
        return nsm(kind, struct.pack(">17sB", name, 1))

    def vlan(kind, name, vid):
        return nsm(kind, struct.pack(">17sxH", name, vid))

    def link(kind, ifindex, flags):
        return nsm(kind, struct.pack(">IIB7x", ifindex, flags, 0))

    def move(src, dst, vid, tail=bytes([2, 0, 0, 0, 0x0A, 1])):
        return nsm(169, struct.pack(">IIH", src, dst, vid) + tail)

    switch = (nsm(1, struct.pack(">HHQ", 29, 0, 0x7)) + if_add(1, b"ge1") + if_add(2, b"ge2") +
              if_add(3, b"ge10", 0x1) + bridge(115, b"1") + vlan(121, b"1", 1) +
              vlan(121, b"1", 10) + vlan_port(123, 1, [0x1001, 10]) +
              vlan_port(123, 2, [10, 20]) + vlan_port(123, 3, [0x1001]) + nsm(4))
    for name, data in {
            "switch": switch,
            "changes": switch + link(30, 1, 0x1) + link(29, 1, UP_RUNNING) +
            vlan_port(124, 2, [10]) + vlan(122, b"1", 10) + nsm(3, struct.pack(">I", 2)) +
            bridge(116, b"1") + nsm(168, struct.pack(">HHI", 1, 0, 1)),
            "malformed": switch + nsm(2, b"\0" * 5) + vlan_port(123, 9, [5000]) +
            vlan(121, b"nosuch", 3) + nsm(99, b"x") + struct.pack(">BBHI", 1, 0, 29, 4),
            "many_vlans": switch + vlan_port(123, 1, list(range(1, 4095, 13))),
            "fdb_moves": switch + move(1, 2, 10) + move(2, 2, 0) + move(1, 9, 5000) +
            nsm(169, b"\0" * 3),
    }.items():
        write("fuzz_nsm_unix", name, data)


if __name__ == "__main__":
    verdict_seeds()
    netlink_seeds()
    nsm_seeds()
