#!/usr/bin/env python3
"""Decodes LZMA-Alone files (archives, or chunks whose dictionary is their own size) on PROCS
processes, for benchmarks; fails on any that does not decode to its announced size.

    decode_chunks.py PROCS FILE...
"""
import lzma
import multiprocessing
import sys


def decode(paths):
    for path in paths:
        data = open(path, "rb").read()
        props, rest = data[0], data[0] // 9
        size = int.from_bytes(data[5:13], "little")
        lzma1 = {"id": lzma.FILTER_LZMA1, "dict_size": max(int.from_bytes(data[1:5], "little"), 4096),
                 "lc": props % 9, "lp": rest % 5, "pb": rest // 5}
        out = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[lzma1]).decompress(data[13:], size)
        if size != 0xFFFFFFFFFFFFFFFF and len(out) != size:
            raise SystemExit("%s: %d bytes, not %d" % (path, len(out), size))


if __name__ == "__main__":
    procs, files = int(sys.argv[1]), sys.argv[2:]
    shares = [files[i::procs] for i in range(procs)]
    with multiprocessing.Pool(procs) as pool:
        pool.map(decode, shares)
