#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets under fuzz/corpus/<target>/.

Seeds are the inputs a fuzzer would take long to find: detection frames that prove a loop
against the fuzz state (their check values computed here as the daemon computes them),
well-formed rtnetlink link dumps, NSM peer streams, command lines and configuration files.
Run it again after changing the fuzz state or a framing; the seeds are committed.
"""
import os
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
TIME_OF_DAY = 1700000000


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# --- detection frames -------------------------------------------------------------------

def in_checksum(data):
    """The framework's checksum: ones'-complement sum of little-endian words, as the daemon
    reads it on a little-endian host, written high byte first."""
    if len(data) % 2:
        data = data + b"\0"
    s = 0
    for i in range(0, len(data), 2):
        s += data[i] | (data[i + 1] << 8)
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    v = ~s & 0xFFFF
    return bytes([v >> 8, v & 0xFF])


def frame(mac, ifindex, vid, tx_time):
    image = bytearray(61)
    image[0:6] = b"\xff" * 6
    image[6:12] = mac
    image[12:22] = bytes([0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01])
    image[22:28] = mac
    image[42:46] = struct.pack(">I", ifindex)
    image[46:48] = struct.pack(">H", vid)
    image[48:52] = struct.pack(">I", tx_time & 0xFFFFFFFF)
    a, b = 22, 0
    image[52:54] = in_checksum(bytes(image[a:a + 16]))
    image[54:56] = in_checksum(bytes(image[a + 16:a + 32]))
    image[56:58] = in_checksum(bytes(image[b:b + 29]))
    image[58:60] = in_checksum(bytes(image[b + 29:b + 58]))
    return bytes(image[14:60])


def mac_of(ifindex):
    return bytes([0x02, 0, 0, 0, 0, ifindex])


def record(rx, control, data):
    assert len(data) == 46
    return bytes([rx, control]) + data


def verdict_seeds():
    ge1_v10 = frame(mac_of(1), 1, 10, TIME_OF_DAY)
    ge1_v1 = frame(mac_of(1), 1, 1, TIME_OF_DAY)
    ge3_v1 = frame(mac_of(3), 3, 1, TIME_OF_DAY)
    ge2_v30 = frame(mac_of(2), 2, 30, TIME_OF_DAY)
    write("fuzz_verdict", "loop_same_port", record(1, 0, ge1_v10))
    write("fuzz_verdict", "loop_other_port_same_mac", record(4, 0, ge1_v1))
    write("fuzz_verdict", "loop_log_only", record(3, 0x02, ge3_v1))
    write("fuzz_verdict", "loop_then_force_up",
          record(2, 0, ge2_v30) + record(2, 0x05, ge2_v30) + record(2, 0x01, ge2_v30))
    stale = b"".join(record(1, 0x70 if i == 0 else 0x02, ge1_v10) for i in range(6))
    write("fuzz_verdict", "stale_five_times", stale)
    arp_reply = bytearray(ge1_v10)
    arp_reply[7] = 2
    write("fuzz_verdict", "arp_reply", record(1, 0x02, bytes(arp_reply)))
    other = bytearray(46)
    other[0:8] = bytes([0, 1, 8, 0, 6, 4, 0, 1])
    other[8:14] = bytes([0x00, 0x11, 0x22, 0x33, 0x44, 0x55])
    other[14:18] = bytes([10, 0, 0, 1])
    other[24:28] = bytes([10, 0, 0, 2])
    write("fuzz_verdict", "foreign_arp", record(1, 0x02, bytes(other)))
    bad_check = bytearray(ge1_v10)
    bad_check[45] ^= 1
    write("fuzz_verdict", "bad_check", record(1, 0x02, bytes(bad_check)))
    write("fuzz_verdict", "unknown_vlan", record(1, 0x02, frame(mac_of(1), 1, 77, TIME_OF_DAY)))
    write("fuzz_verdict", "not_a_port", record(5, 0x02, ge1_v10))


# --- rtnetlink -------------------------------------------------------------------------

RTM_NEWLINK, RTM_DELLINK = 16, 17
AF_UNSPEC, AF_BRIDGE = 0, 7
IFLA_ADDRESS, IFLA_IFNAME, IFLA_MASTER, IFLA_LINKINFO, IFLA_AF_SPEC = 1, 3, 10, 18, 26
IFLA_INFO_KIND, IFLA_INFO_DATA = 1, 2
IFLA_BR_VLAN_FILTERING = 7
IFLA_BRIDGE_VLAN_INFO = 2
VLAN_PVID, VLAN_UNTAGGED, VLAN_RANGE_BEGIN, VLAN_RANGE_END = 2, 4, 8, 16
UP_RUNNING = 0x1 | 0x40


def attr(kind, payload):
    n = 4 + len(payload)
    return struct.pack("=HH", n, kind) + payload + b"\0" * ((4 - n % 4) % 4)


def link_msg(msg_type, family, ifindex, flags, attrs):
    body = struct.pack("=BBHiII", family, 0, 1, ifindex, flags, 0) + b"".join(attrs)
    return struct.pack("=IHHII", 16 + len(body), msg_type, 0, 1, 0) + body


def vlan(vid, flags=0):
    return attr(IFLA_BRIDGE_VLAN_INFO, struct.pack("=HH", flags, vid))


def bridge_link(ifindex, name, filtering):
    data = attr(IFLA_INFO_DATA, attr(IFLA_BR_VLAN_FILTERING, bytes([filtering])))
    info = attr(IFLA_LINKINFO, attr(IFLA_INFO_KIND, b"bridge\0") + data)
    return link_msg(RTM_NEWLINK, AF_UNSPEC, ifindex, UP_RUNNING,
                    [attr(IFLA_IFNAME, name + b"\0"),
                     attr(IFLA_ADDRESS, bytes([2, 0xAA, 0, 0, 0, ifindex])), info])


def port_link(ifindex, name, master, flags=UP_RUNNING):
    return link_msg(RTM_NEWLINK, AF_UNSPEC, ifindex, flags,
                    [attr(IFLA_IFNAME, name + b"\0"),
                     attr(IFLA_ADDRESS, bytes([2, 0, 0, 0, 0, ifindex])),
                     attr(IFLA_MASTER, struct.pack("=I", master))])


def bridge_vlans(ifindex, master, vlans):
    return link_msg(RTM_NEWLINK, AF_BRIDGE, ifindex, UP_RUNNING,
                    [attr(IFLA_MASTER, struct.pack("=I", master)),
                     attr(IFLA_AF_SPEC, b"".join(vlans))])


RTM_NEWNEIGH, RTM_DELNEIGH = 28, 29
NDA_LLADDR, NDA_VLAN, NDA_MASTER = 2, 5, 9
NUD_REACHABLE = 0x02
IFLA_PROTINFO, NLA_F_NESTED = 12, 0x8000
IFLA_BRPORT_LEARNING, IFLA_BRPORT_UNICAST_FLOOD, IFLA_BRPORT_LOCKED = 8, 9, 38


def fdb_msg(msg_type, ifindex, master, mac, vid, state=NUD_REACHABLE):
    body = struct.pack("=BBHiHBB", AF_BRIDGE, 0, 0, ifindex, state, 0, 0)
    body += attr(NDA_LLADDR, mac) + attr(NDA_MASTER, struct.pack("=I", master))
    if vid:
        body += attr(NDA_VLAN, struct.pack("=H", vid))
    return struct.pack("=IHHII", 16 + len(body), msg_type, 0, 1, 0) + body


def netlink_seeds():
    rig = (bridge_link(10, b"br0", 1) + port_link(11, b"ge1", 10) + port_link(12, b"ge2", 10) +
           bridge_vlans(10, 10, [vlan(1, VLAN_PVID | VLAN_UNTAGGED), vlan(10)]) +
           bridge_vlans(11, 10, [vlan(1, VLAN_PVID | VLAN_UNTAGGED), vlan(10)]) +
           bridge_vlans(12, 10, [vlan(20, VLAN_RANGE_BEGIN), vlan(30, VLAN_RANGE_END)]))
    write("fuzz_netlink", "vlan_bridge", b"\x00" + rig)
    write("fuzz_netlink", "vlan_bridge_named_own_mac", b"\x03" + rig)
    flap = (rig + port_link(11, b"ge1", 10, 0x1) + port_link(11, b"ge1", 10) +
            link_msg(RTM_DELLINK, AF_BRIDGE, 12, UP_RUNNING, []) +
            link_msg(RTM_DELLINK, AF_UNSPEC, 12, 0, []))
    write("fuzz_netlink", "flap_and_delete", b"\x00" + flap)
    plain = bridge_link(20, b"br1", 0) + port_link(21, b"eth1", 20) + port_link(22, b"eth2", 20)
    write("fuzz_netlink", "plain_bridge", b"\x00" + plain)
    write("fuzz_netlink", "move_port", b"\x00" + rig + plain + port_link(11, b"ge1", 20))
    # A host's address flapping between the ports (a loop), then forgotten; a static entry
    # and a port's flags as a block leaves them.
    host = bytes([2, 0, 0, 0, 0x0A, 1])
    flaps = b"".join(fdb_msg(RTM_NEWNEIGH, port, 10, host, 10) for port in (11, 12, 11, 12))
    write("fuzz_netlink", "fdb_flap", b"\x00" + rig + flaps +
          fdb_msg(RTM_DELNEIGH, 12, 10, host, 10) + fdb_msg(RTM_NEWNEIGH, 11, 10, host, 0, 0x80))
    write("fuzz_netlink", "port_flags", b"\x00" + rig + link_msg(
        RTM_NEWLINK, AF_BRIDGE, 11, UP_RUNNING,
        [attr(IFLA_MASTER, struct.pack("=I", 10)),
         attr(IFLA_PROTINFO | NLA_F_NESTED, b"".join(
             attr(kind, bytes([value])) for kind, value in
             ((IFLA_BRPORT_LEARNING, 0), (IFLA_BRPORT_UNICAST_FLOOD, 0),
              (IFLA_BRPORT_LOCKED, 1))))]))


# --- NSM socket protocol ----------------------------------------------------------------

def nsm_frame(kind, payload):
    return struct.pack(">BBHI", 1, 0, kind, 8 + len(payload)) + payload


def fixed(text, width):
    return text + b"\0" * (width - len(text))


def if_add(ifindex, name, flags=UP_RUNNING):
    hw = bytes([2, 0, 0, 0, 0, ifindex])
    return nsm_frame(2, struct.pack(">IIB", ifindex, flags, 6) + hw + b"\0" + fixed(name, 21))


def link(kind, ifindex, flags):
    return nsm_frame(kind, struct.pack(">IIB", ifindex, flags, 0) + b"\0" * 7)


def nsm_bridge(kind, name, bridge_type):
    return nsm_frame(kind, fixed(name, 17) + bytes([bridge_type]))


def nsm_vlan(kind, bridge, vid):
    return nsm_frame(kind, fixed(bridge, 17) + b"\0" + struct.pack(">H", vid))


def vlan_port(kind, ifindex, entries):
    return nsm_frame(kind, struct.pack(">IH", ifindex, len(entries)) +
                     b"".join(struct.pack(">H", e) for e in entries))


def nsm_seeds():
    hello = nsm_frame(1, struct.pack(">HHQ", 29, 0, 0x7))
    switch = (hello + if_add(1, b"ge1") + if_add(2, b"ge2") + if_add(3, b"ge10", 0x1) +
              nsm_bridge(115, b"1", 1) + nsm_vlan(121, b"1", 1) + nsm_vlan(121, b"1", 10) +
              vlan_port(123, 1, [0x1001, 10]) + vlan_port(123, 2, [10, 20]) +
              vlan_port(123, 3, [0x1001]) + nsm_frame(4, b""))
    write("fuzz_nsm_unix", "switch", switch)
    write("fuzz_nsm_unix", "changes", switch + link(30, 1, 0x1) + link(29, 1, UP_RUNNING) +
          vlan_port(124, 2, [10]) + nsm_vlan(122, b"1", 10) + nsm_frame(3, struct.pack(">I", 2)) +
          nsm_bridge(116, b"1", 1) + nsm_frame(168, struct.pack(">HHI", 1, 0, 1)))
    write("fuzz_nsm_unix", "malformed", switch + nsm_frame(2, b"\0" * 5) +
          vlan_port(123, 9, [5000]) + nsm_vlan(121, b"nosuch", 3) + nsm_frame(99, b"x") +
          struct.pack(">BBHI", 1, 0, 29, 4))
    write("fuzz_nsm_unix", "many_vlans", switch + vlan_port(123, 1, list(range(1, 4095, 13))))
    host = bytes([2, 0, 0, 0, 0x0A, 1])
    write("fuzz_nsm_unix", "fdb_moves", switch +
          nsm_frame(169, struct.pack(">IIH", 1, 2, 10) + host) +
          nsm_frame(169, struct.pack(">IIH", 2, 2, 0) + host) +
          nsm_frame(169, struct.pack(">IIH", 1, 9, 5000) + host) + nsm_frame(169, b"\0" * 3))


# --- command lines and configuration files ------------------------------------------------

def text_seeds():
    write("fuzz_cli", "configure_ports", b"\n".join([
        b"configure terminal", b"no loop-detect fast-detect", b"interface ge10",
        b"loop-detect enable", b"loop-detect uplink", b"loop-detect loop block",
        b"loop-detect protect vlan 30", b"loop-detect protect vlan 4094",
        b"no loop-detect protect vlan 10", b"loop-detect loop shutdown", b"exit",
        b"loop-detect enable", b"interface ge1", b"no loop-detect protect vlan all",
        b"loop-detect force up", b"end"]))
    write("fuzz_cli", "show_and_debug", b"\n".join([
        b"show loop-detect", b"show loop-detect interface ge1", b"show loop-detect vlan",
        b"show wmi loop-detect", b"show wmi loopback", b"show wmi port loopback infomation",
        b"show running-config", b"show debugging loop-detect", b"debug loop-detect all",
        b"debug loop-detect packet recv detail", b"no debug all", b"show memory",
        b"show version"]))
    write("fuzz_cli", "help_and_complete", b"\n".join([
        b"conf t", b"int ge1", b"loop-detect ?", b"loop-detect pro\t", b"loop-detect tx ?",
        b"no loop ?", b"?", b"e\t", b"end", b"sh loop ?"]))
    write("fuzz_cli", "limits", b"\n".join(
        [b"configure terminal", b"interface ge2"] +
        [b"loop-detect protect vlan %d" % v for v in range(100, 118)] +
        [b"loop-detect tx-interval time 9", b"loop-detect tx-interval time 301",
         b"loop-detect resume time 179", b"loop-detect resume time 4294967296",
         b"loop-detect protect vlan 0", b"loop-detect protect vlan 4095",
         b"interface nosuch", b"loop-detect enable"]))
    write("fuzz_cli", "dump_mode", b"\n".join([
        b"dump-mode", b"dump vesk bridage interface ge1", b"dump vesk bridage vlan 10",
        b"dump vesk bridage vlan 4094", b"exit"]))
    config = b"\n".join([
        b"! a configuration as write leaves it", b"loop-detect enable", b"!",
        b"interface ge1", b" loop-detect tx-interval time 60", b" loop-detect resume time 600",
        b" loop-detect protect vlan 20", b" loop-detect loop log", b"!", b"interface ge2",
        b" no loop-detect enable", b"!", b"interface nosuch", b" loop-detect enable", b"!",
        b"garbage line", b"interface xe1", b" loop-detect protect vlan 1", b"end", b""])
    write("fuzz_config", "written", config)
    write("fuzz_config", "crlf_and_nul", config.replace(b"\n", b"\r\n") + b"\0tail\n")
    write("fuzz_config", "long_line", b"interface ge1\n loop-detect " + b"x" * 5000 + b"\n")
    write("fuzz_config", "modes", b"\n".join([
        b"interface ge10", b"loop-detect enable", b"exit", b"exit", b"interface ge10",
        b"loop-detect force up", b"end", b"configure terminal", b"debug loop-detect all", b""]))


def access_seeds():
    # fuzz_login: the first byte sets the size of the pieces the rest arrives in; the
    # passwords are "Pw7" (login) and "Ex9" (enable).
    write("fuzz_login", "login_enable_configure", b"\x07" + b"\n".join([
        b"Pw7", b"show privilege", b"enable", b"Ex9", b"configure terminal",
        b"loop-detect enable", b"end", b"exit", b""]))
    write("fuzz_login", "three_wrong", b"\x3f" + b"wrong\nPw\nPw77\nPw7\n")
    write("fuzz_login", "telnet_and_control", b"\x02" + bytes(
        [255, 251, 1, 255, 250, 24, 0, 255, 240]) + b"P\x00w\x1b7\r\n\xc3\xa9show ?\n" +
        b"enable\nEx8\nenable\nEx9\nsh\t\n")
    write("fuzz_login", "control_bytes_in_passwords",
          b"\x05P\x00w\x1b7\nshow privilege\nenable\nE\x7fx\xc3\xa99\nshow privilege\n")
    write("fuzz_login", "long_password", b"\x40" + b"P" * 5000 + b"\nPw7\n")
    # fuzz_log_file: what is at the name, what is there at the reopen, then the name.
    for first, second, name in [(0, 1, b"a.log"), (2, 1, b"link"), (3, 0, b"fifo"),
                                (4, 2, b"dir"), (5, 1, b"hard"), (1, 2, b"plain.log"),
                                (1, 3, b"with space"), (0, 0, b"..")]:
        write("fuzz_log_file", name.decode().replace(" ", "_").replace(".", "_") or "dots",
              bytes([first, second]) + name)


def main():
    verdict_seeds()
    netlink_seeds()
    nsm_seeds()
    text_seeds()
    access_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
