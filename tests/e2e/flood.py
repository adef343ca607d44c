# Broadcast frames out of an interface (argv[1]) until killed, as fast as Python can send
# them: other EtherTypes, alternating with ARP requests from 0.0.0.0 of other stations (which
# the daemon's kernel filter lets through) when argv[2] is "mixed".
import socket
import sys

s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
frames = []
for i in range(64):
    mac = bytes([2, 0x55, 0, 0, i >> 8, i & 255])
    frames.append(b"\xff" * 6 + mac + b"\x88\xb5" + bytes(46))
    arp = b"\x00\x01\x08\x00\x06\x04\x00\x01" + mac + bytes(4) + bytes(6) + bytes([10, 0, 0, i])
    if sys.argv[2] == "mixed":
        frames.append(b"\xff" * 6 + mac + b"\x08\x06" + arp + bytes(46 - len(arp)))
while True:
    for f in frames:
        try:
            s.send(f)
        except OSError:
            pass
