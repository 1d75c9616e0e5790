#!/usr/bin/env python3
"""Writes an iec104.cfg with many stations and tags for memory and start-up figures.

Usage: make_config.py OUT_FILE [STATIONS] [TAGS]
The tags are spread evenly over the stations, alternating two-state and measured
tags. Station addresses point at 127.0.0.1 only.
"""
import sys


def main():
    out = sys.argv[1]
    stations = int(sys.argv[2]) if len(sys.argv) > 2 else 32
    tags = int(sys.argv[3]) if len(sys.argv) > 3 else 20000
    lines = [";kol,%d" % stations]
    per = tags // stations
    extra = tags % stations
    for n in range(1, stations + 1):
        asdu = n
        name = "Подстанция %d" % n
        lines.append('KP,%d,1,"%s",127.0.0.1' % (asdu, name))
        lines.append(';PORT,%d,1,"%s",127.0.0.1,%d' % (asdu, name, 2404 + n))
        lines += ["PER,1", "TIM,0", "POPR,0", "OPROS,0"]
        count = per + (1 if n <= extra else 0)
        ts = (count + 1) // 2
        ti = count // 2
        for k in range(1, ts + 1):
            lines.append('TS,%d,%d,,"ТС %d",8272,%d,%d,0,0,0,0' % (1000 + n, asdu, k, asdu, k))
        for k in range(1, ti + 1):
            lines.append('TIT,%d,%d,,"ТИ %d",8280,%d,%d,0,100,0,100,0,100,0,32767'
                         % (1000 + n, asdu, k, asdu, 10000 + k))
    with open(out, "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("cp1251"))


if __name__ == "__main__":
    main()
