#!/usr/bin/env python3
"""Writes iec104sr.bin: a connection parameter file with two records.

Layout of a record (160 octets, little-endian int32):
  0 name (length octet + 32), 33 host (length octet + 32), 66..67 padding,
  68 Port, 72 t0, 76 t1, 80 t2, 84 t3, 88 kMax, 92 wMax, 96 ReceiveBufferLength,
  100 OriginatorAddress, 104 LinkAddress1, 108 sz_LinkAddress, 112 PollingCycle,
  116 ConfirmationTimeout, 120 TerminationTimeout, 124 RetryCount, 128 RetryTimeOut,
  132 CommonAsduAddress, 136 sz_ASDUAddress, 140 sz_InfObjAddress, 144 sz_COT,
  148 clock check (1 octet), 149..151 padding, 152 clock time, 156 prWork1.
File: version 525092, count, records, checksum (version + every record octet,
minus 0x0FFFFFFF whenever the sum exceeds 0x0FFFFFFF).
"""
import struct
import sys


def short_string(text):
    raw = text.encode("cp1251")
    return bytes([len(raw)]) + raw + bytes(32 - len(raw))


def record(name, port, common, link, work, clock_check=0, host_pad=b"\0\0", clock_pad=b"\0\0\0"):
    r = short_string(name) + short_string("127.0.0.1") + host_pad
    r += struct.pack("<20i", port, 30000, 15000, 10000, 20000, 12, 8, 100, 0, link, 0, 0,
                     5000, 30000, 3, 20000, common, 2, 3, 2)
    r += bytes([clock_check]) + clock_pad + struct.pack("<2i", 30, work)
    assert len(r) == 160
    return r


records = [
    record("ПС Северная", 2404, 3, 0, 1),
    record("Client104", 2405, 7, 7, 0, clock_check=1, host_pad=b"\xab\x00", clock_pad=b"\x00\x00\xcd"),
]
s = 525092
for r in records:
    for b in r:
        s += b
        if s > 0x0FFFFFFF:
            s -= 0x0FFFFFFF
data = struct.pack("<ii", 525092, len(records)) + b"".join(records) + struct.pack("<i", s)
open(sys.argv[1] if len(sys.argv) > 1 else "iec104sr.bin", "wb").write(data)
