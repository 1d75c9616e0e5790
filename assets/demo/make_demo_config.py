#!/usr/bin/env python3
"""Writes the demo configuration: iec104.cfg (Windows-1251, CR LF) with three
stations on 127.0.0.1 and iec104sr.bin with their ports 24041..24043.

Record layout of iec104sr.bin (160 octets, little-endian int32): name and host as
short strings (length octet + 32), 2 padding octets, Port, t0, t1, t2, t3, kMax,
wMax, ReceiveBufferLength, OriginatorAddress, LinkAddress1, sz_LinkAddress,
PollingCycle, ConfirmationTimeout, TerminationTimeout, RetryCount, RetryTimeOut,
CommonAsduAddress, sz_ASDUAddress, sz_InfObjAddress, sz_COT, clock check octet,
3 padding octets, clock time, prWork1. File: version, count, records, checksum.
"""
import struct

STATIONS = [
    # name, common address, port, two-state tags, measurements (name, raw max, eng max)
    ("ПС Северная", 1, 24041,
     ["Выключатель Q1", "Выключатель Q2", "Разъединитель QS1", "Заземление QSG1"],
     [("Напряжение Uab", 1000, 110), ("Ток Ia", 1000, 600), ("Частота", 100, 50)]),
    ("ПС Южная", 2, 24042,
     ["Выключатель Q1", "Автомат АВ-1", "Защита РЗА"],
     [("Напряжение Ubc", 1000, 35), ("Мощность P", 1000, 25), ("Температура Т1", 100, 100)]),
    ("ПС Восточная", 3, 24043,
     ["Выключатель Q5", "Отделитель ОД-1"],
     [("Напряжение Uca", 1000, 10), ("Ток Ib", 1000, 400)]),
]


def config_text():
    lines = [";kol,%d" % len(STATIONS)]
    for n, (name, asdu, port, ts, ti) in enumerate(STATIONS, start=1):
        sid = 1000 + n
        lines.append("KP,%d,1,%s,127.0.0.1" % (asdu, name))
        lines.append(";PORT,%d,1,%s,127.0.0.1,%d" % (asdu, name, port))
        lines += ["PER,0", "TIM,0", "POPR,0", "OPROS,1"]
        for k, t in enumerate(ts, start=1):
            # Commands at 100 + k of the same common address.
            lines.append('TS,%d,%d,,"%s",8272,%d,%d,%d,%d,0,0' % (sid, asdu, t, asdu, k, asdu, 100 + k))
        for k, (t, raw, eng) in enumerate(ti, start=1):
            # The engineering range three times (fields 8-13), then the raw range.
            lines.append('TIT,%d,%d,,"%s",8280,%d,%d,0,%d,0,%d,0,%d,0,%d'
                         % (sid, asdu, t, asdu, 1000 + k, eng, eng, eng, raw))
    return "".join(l + "\r\n" for l in lines).encode("cp1251")


def short_string(text):
    raw = text.encode("cp1251")[:32]
    return bytes([len(raw)]) + raw + bytes(32 - len(raw))


def record(name, port, common):
    r = short_string("Client104") + short_string("127.0.0.1") + b"\0\0"
    r += struct.pack("<20i", port, 30000, 15000, 10000, 20000, 12, 8, 100, 0, 0, 0, 0,
                     5000, 30000, 3, 20000, common, 2, 3, 2)
    r += b"\0\0\0\0" + struct.pack("<2i", 30, 1)
    assert len(r) == 160
    return r


def prmn_bytes():
    recs = [record(name, port, asdu) for name, asdu, port, _, _ in STATIONS]
    s = 525092
    for r in recs:
        for b in r:
            s += b
            if s > 0x0FFFFFFF:
                s -= 0x0FFFFFFF
    return struct.pack("<ii", 525092, len(recs)) + b"".join(recs) + struct.pack("<i", s)


if __name__ == "__main__":
    open("iec104.cfg", "wb").write(config_text())
    open("iec104sr.bin", "wb").write(prmn_bytes())
