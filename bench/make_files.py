#!/usr/bin/python3
"""Writes the benchmark MAT-files into a folder (not into the repository).

Usage: /usr/bin/python3 bench/make_files.py OUTDIR [SCALE]
SCALE (default 1) multiplies the big sizes: 0.1 gives a quick run.
Files already present with a matching .done stamp are kept.

  big20.mat / big20_z.mat      20 double variables of 50 MB each (v01..v20),
                               uncompressed / compressed: 1 GB of data
  one200.mat / one200_z.mat    small 'before', one 200 MB double 'big', small 'after'
  view4k.mat / view4k_z.mat    one 4000x10000 double 'm' (320 MB), uncompressed / compressed:
                               the viewer's text of a large variable
  small10k_z.mat               10,000 small compressed variables (s00000..s09999)
  cells1k_z.mat                1,000 compressed cell arrays of 1,000 cells each (c0000..c0999)
  v73_10k.mat                  version 7.3 (HDF5): 10,000 double scalars (s00000..s09999)
  v73_100k.mat                 version 7.3: 100,000 double scalars (s000000..s099999)
  v73_one200.mat               version 7.3: small 'before', one 200 MB double 'big', small 'after'
  scalars10k.mat, scalars100k.mat, scalars1m.mat
                               10^4, 10^5, 10^6 uncompressed double scalars (s0000000..),
                               written directly (scipy takes minutes for a million)
"""
import os
import struct
import sys
import time

import numpy as np
import scipy.io

MB = 1 << 20


def signal(n, seed):
    """Doubles that compress about as well as measured data: a random walk
    quantised to 1/1000."""
    rng = np.random.default_rng(seed)
    steps = rng.integers(-50, 51, size=n, dtype=np.int32)
    return (np.cumsum(steps, dtype=np.int64) / 1000.0).reshape(1, n)


def write(path, variables, compressed):
    stamp = path + ".done"
    if os.path.exists(path) and os.path.exists(stamp):
        return
    t = time.time()
    scipy.io.savemat(path, variables, do_compression=compressed)
    open(stamp, "w").close()
    print("  wrote %s (%.0f MB) in %.1f s" % (os.path.basename(path),
          os.path.getsize(path) / MB, time.time() - t), flush=True)


def write_scalars(path, count):
    """count 1x1 doubles named s0000000, s0000001, ... in a little-endian
    level-5 file: 72 bytes a variable."""
    stamp = path + ".done"
    if os.path.exists(path) and os.path.exists(stamp):
        return
    t = time.time()
    text = b"MATLAB 5.0 MAT-file, Platform: GLNXA64, Created on: Mon Dec  7 02:00:00 2026"
    header = text.ljust(116, b" ") + b" " * 8 + struct.pack("<H", 0x0100) + b"IM"
    body = struct.pack("<II", 14, 64)                    # miMATRIX, 64 bytes
    with open(path, "wb") as f:
        f.write(header)
        for i in range(count):
            name = b"s%07d" % i
            f.write(body + struct.pack("<IIII", 6, 8, 6, 0)            # flags: double
                    + struct.pack("<IIii", 5, 8, 1, 1)                   # dims 1x1
                    + struct.pack("<II", 1, 8) + name                    # name
                    + struct.pack("<II", 9, 8) + struct.pack("<d", i))   # the value
    open(stamp, "w").close()
    print("  wrote %s (%.0f MB) in %.1f s" % (os.path.basename(path),
          os.path.getsize(path) / MB, time.time() - t), flush=True)


def write_v73(path, variables):
    """A version 7.3 file as MATLAB lays it out for doubles: datasets with
    MATLAB_class, dimensions reversed, a MAT header in the 512-byte user block."""
    stamp = path + ".done"
    if os.path.exists(path) and os.path.exists(stamp):
        return
    import h5py
    t = time.time()
    with h5py.File(path, "w", userblock_size=512) as f:
        for name, value in variables.items():
            d = f.create_dataset(name, data=np.ascontiguousarray(np.asarray(value).T))
            d.attrs["MATLAB_class"] = np.bytes_("double")
    text = b"MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Dec  7 02:00:00 2026 HDF5 schema 1.00 ."
    with open(path, "r+b") as f:
        f.write(text.ljust(116, b" ") + b" " * 8 + struct.pack("<H", 0x0200) + b"IM")
    open(stamp, "w").close()
    print("  wrote %s (%.0f MB) in %.1f s" % (os.path.basename(path),
          os.path.getsize(path) / MB, time.time() - t), flush=True)


def main():
    out = sys.argv[1]
    scale = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
    os.makedirs(out, exist_ok=True)
    n50 = int(50 * MB * scale) // 8
    n200 = int(200 * MB * scale) // 8

    big = {"v%02d" % (i + 1): signal(n50, i) for i in range(20)}
    write(os.path.join(out, "big20.mat"), big, False)
    write(os.path.join(out, "big20_z.mat"), big, True)
    del big

    one = {"before": np.arange(10.0).reshape(1, 10), "big": signal(n200, 99),
           "after": "text after the big variable"}
    write(os.path.join(out, "one200.mat"), one, False)
    write(os.path.join(out, "one200_z.mat"), one, True)
    del one

    view = {"m": signal(4000 * int(10000 * scale), 5).reshape(4000, -1, order="F")}
    write(os.path.join(out, "view4k.mat"), view, False)
    write(os.path.join(out, "view4k_z.mat"), view, True)
    del view

    rng = np.random.default_rng(7)
    small = {"s%05d" % i: rng.integers(0, 100, size=(1, 8)).astype(np.float64) for i in range(10000)}
    write(os.path.join(out, "small10k_z.mat"), small, True)

    cells = {}
    for i in range(1000):
        c = np.empty((1, 1000), dtype=object)
        for j in range(1000):
            c[0, j] = np.array([[float(i * 1000 + j)]])
        cells["c%04d" % i] = c
    write(os.path.join(out, "cells1k_z.mat"), cells, True)

    write_v73(os.path.join(out, "v73_10k.mat"), {"s%05d" % i: np.array([[float(i)]]) for i in range(10000)})
    write_v73(os.path.join(out, "v73_100k.mat"), {"s%06d" % i: np.array([[float(i)]]) for i in range(100000)})
    write_v73(os.path.join(out, "v73_one200.mat"), {"before": np.arange(10.0).reshape(1, 10), "big": signal(n200, 99),
                                                    "after": np.arange(3.0).reshape(1, 3)})

    # 1 GB of doubles in twenty 50-MB variables: converted to version 7 whole.
    write_v73(os.path.join(out, "v73_1g.mat"), {"v%02d" % (i + 1): signal(n50, 40 + i) for i in range(20)})

    for count, name in ((1, "scalars1.mat"), (10000, "scalars10k.mat"), (100000, "scalars100k.mat"),
                        (1000000, "scalars1m.mat")):
        write_scalars(os.path.join(out, name), count)


if __name__ == "__main__":
    main()
