"""IPv6 frames for the system tests, built here and written onto an
interface through an AF_PACKET socket.

Only addresses of 2001:2::/48 and 2001:db8::/32 are ever written; anything
else is refused before a socket is opened. Frames go to a locally
administered MAC that no host owns, and the namespaces of the tests have
IPv6 switched off, so no stack answers them; a promiscuous capture still
sees them.

Run as a program inside the sender's namespace (`ip netns exec NS python3
frames6.py IFACE`), it reads a JSON list of frame shapes on standard input,
sends them in order and prints how many it sent.
"""

import ipaddress
import json
import socket
import struct
import sys

ALLOWED = (ipaddress.ip_network("2001:2::/48"), ipaddress.ip_network("2001:db8::/32"))
DST_MAC = bytes.fromhex("020000000002")
SRC_MAC = bytes.fromhex("020000000001")

HOP_BY_HOP, ROUTING, FRAGMENT, DEST_OPTS = 0, 43, 44, 60
PROTOS = {"tcp": 6, "udp": 17, "dccp": 33, "sctp": 132, "udplite": 136, "icmp6": 58}


def checked(address):
    a = ipaddress.IPv6Address(address)
    if not any(a in net for net in ALLOWED):
        raise ValueError("refusing IPv6 address %s: only 2001:2::/48 and 2001:db8::/32" % a)
    return a.packed


def frame(shape):
    """Ethernet + IPv6 + extension headers + transport, padded to shape["length"].

    shape: src, dst, proto (name or number), sport, dport, ext (list of
    "hop", "routing", "dest" or "frag:OFFSET"), tags (VLAN tag types, outer
    first), length (bytes on the wire, tags included).
    """
    src, dst = checked(shape["src"]), checked(shape["dst"])
    proto = shape.get("proto", "udp")
    proto = PROTOS.get(proto, proto)
    chain = []
    for ext in shape.get("ext", []):
        if ext.startswith("frag:"):
            chain.append((FRAGMENT, int(ext[5:])))
        else:
            chain.append(({"hop": HOP_BY_HOP, "routing": ROUTING, "dest": DEST_OPTS}[ext], 0))
    types = [t for t, _ in chain] + [int(proto)]
    body = b""
    for (kind, offset), following in zip(chain, types[1:]):
        if kind == FRAGMENT:
            body += struct.pack("!BBHI", following, 0, offset << 3 | 1, 0x4e4f5256)
        else:
            body += struct.pack("!BB", following, 0) + bytes(6)  # padding options, 8 bytes
    body += struct.pack("!HH", shape.get("sport", 0), shape.get("dport", 0)) + bytes(16)
    tags = b"".join(struct.pack("!HH", tpid, 10 + i) for i, tpid in enumerate(shape.get("tags", [])))
    head = 14 + len(tags) + 40
    length = shape.get("length", head + len(body))
    if length < head + len(body):
        raise ValueError("frame of %d bytes does not fit in length %d" % (head + len(body), length))
    body += bytes(length - head - len(body))
    ip = struct.pack("!IHBB", 6 << 28, len(body), types[0], 64) + src + dst
    return DST_MAC + SRC_MAC + tags + b"\x86\xdd" + ip + body


def send(interface, shapes):
    frames = []
    for shape in shapes:
        frames += [frame(shape)] * shape.get("count", 1)
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    try:
        sock.bind((interface, 0))
        for f in frames:
            sock.send(f)
    finally:
        sock.close()
    return len(frames)


def wire_length(shape):
    return len(frame(shape))


if __name__ == "__main__":
    print(send(sys.argv[1], json.load(sys.stdin)))
