#!/usr/bin/env python3
"""Games made of the machine's own shared libraries, for benchmarks that need real binaries
(random bytes neither compress nor decode as a game's files do).

    real_binaries.py game ROOT   three files of 64 MiB in ROOT/bin and 1,000 small ones in ROOT/lib
    real_binaries.py one FILE MIB   one file of MIB MiB
"""
import glob
import os
import sys


def blob(size):
    libs = sorted((p for p in glob.glob("/usr/lib/x86_64-linux-gnu/*.so*")
                   if os.path.isfile(p) and not os.path.islink(p)),
                  key=os.path.getsize, reverse=True)
    data = bytearray()
    for p in libs:
        data += open(p, "rb").read()
        if len(data) >= size:
            break
    while len(data) < size:  # a machine with few libraries repeats them
        data += data[:size - len(data)]
    return data


if sys.argv[1] == "one":
    os.makedirs(os.path.dirname(os.path.abspath(sys.argv[2])), exist_ok=True)
    open(sys.argv[2], "wb").write(blob(int(sys.argv[3]) << 20)[:int(sys.argv[3]) << 20])
    sys.exit(0)
root = sys.argv[2]
data = blob(200 << 20)
os.makedirs(os.path.join(root, "bin"), exist_ok=True)
for i in range(3):
    open(os.path.join(root, "bin", "part%d.bin" % i), "wb").write(data[i << 26:(i + 1) << 26])
at = 0
for i in range(1000):
    size = 2048 + (i * 7919) % 40000
    folder = os.path.join(root, "lib", "m%02d" % (i % 20))
    os.makedirs(folder, exist_ok=True)
    open(os.path.join(folder, "f%04d.so" % i), "wb").write(data[at:at + size])
    at = (at + size * 13) % (len(data) - 50000)
