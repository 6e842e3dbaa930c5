"""Copies a stream file with the dates of its BGNLIB and BGNSTR records set to zero, so that
two rewrites made at different times can be compared byte for byte.

    python3 bench/mask_dates.py IN.gds OUT.gds
"""
import sys

DATED = {0x0102, 0x0502}  # BGNLIB, BGNSTR


def main(source, target):
    data = bytearray(open(source, "rb").read())
    at = 0
    while at + 4 <= len(data):
        length = int.from_bytes(data[at:at + 2], "big")
        if length < 4:
            break
        if int.from_bytes(data[at + 2:at + 4], "big") in DATED:
            data[at + 4:at + length] = bytes(min(length, len(data) - at) - 4)
        at += length
    open(target, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
