#!/usr/bin/python3
"""scipy.io, as a Python user would do it.
  bench_scipy.py headers FILE          scipy.io.whosmat
  bench_scipy.py extract FILE VAR OUT  loadmat(variable_names=[VAR]) + savemat
  bench_scipy.py convert73 FILE OUT Z  a version 7.3 file's doubles read with h5py (as
                                       MATLAB's layout keeps them, transposed), written
                                       with savemat (do_compression=Z)
  bench_scipy.py resave FILE OUT       loadmat + savemat of every variable (compressed)
  bench_scipy.py empty73 OUT           (untimed setup) an empty version 7.3 MAT-file, with h5py
  bench_scipy.py refs73 OUT            (untimed setup) a version 7.3 MAT-file in MATLAB's layout of
                                       7 cells c1 .. c7 of 2000 elements each in #refs#, every
                                       tenth the empty placeholder #refs#/a that all of them share
Prints "result seconds=S count=N" on standard error (imports not timed)."""
import sys
import time

import scipy.io


def refs73(path):
    import h5py
    import numpy
    main(["empty73", path])
    with h5py.File(path, "r+") as f:
        refs = f.create_group("#refs#")
        empty = refs.create_dataset("a", data=numpy.zeros(2, dtype=numpy.uint64))
        empty.attrs["MATLAB_class"] = numpy.bytes_("double")
        empty.attrs["MATLAB_empty"] = numpy.uint8(1)
        for v in range(1, 8):
            elements = []
            for k in range(2000):
                if k % 10 == 0:
                    elements.append(empty.ref)
                    continue
                value = refs.create_dataset("c%d_%d" % (v, k), data=numpy.full((1, 1), float(k)))
                value.attrs["MATLAB_class"] = numpy.bytes_("double")
                elements.append(value.ref)
            cell = f.create_dataset("c%d" % v, data=numpy.array(elements, dtype=h5py.ref_dtype).reshape(2000, 1))
            cell.attrs["MATLAB_class"] = numpy.bytes_("cell")


def main(argv=None):
    mode, path = (argv or sys.argv[1:])[:2]
    start = time.perf_counter()
    if mode == "headers":
        count = len(scipy.io.whosmat(path))
    elif mode == "extract":
        name, out = sys.argv[3], sys.argv[4]
        data = scipy.io.loadmat(path, variable_names=[name])
        with open(path, "rb") as f:   # keep the variable compressed if it was
            compressed = f.read(132)[128] == 15
        scipy.io.savemat(out, {name: data[name]}, do_compression=compressed)
        count = 1
    elif mode == "convert73":
        import h5py
        out, compressed = sys.argv[3], sys.argv[4] == "1"
        with h5py.File(path, "r") as f:
            data = {name: f[name][()].T for name in f if not name.startswith("#")}
        scipy.io.savemat(out, data, do_compression=compressed)
        count = len(data)
    elif mode == "resave":
        data = {k: v for k, v in scipy.io.loadmat(path).items() if not k.startswith("__")}
        scipy.io.savemat(sys.argv[3], data, do_compression=True)
        count = len(data)
    elif mode == "empty73":
        import h5py
        with h5py.File(path, "w", userblock_size=512):
            pass
        text = "MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: " + time.asctime() + " HDF5 schema 1.00 ."
        with open(path, "r+b") as f:
            f.write(text.ljust(116).encode() + b"\0" * 8 + b"\x00\x02IM")
        return
    elif mode == "refs73":
        refs73(path)
        return
    else:
        sys.exit("usage: bench_scipy.py headers FILE | extract FILE VAR OUT | convert73 FILE OUT Z | resave FILE OUT | empty73 OUT")
    sys.stderr.write("result seconds=%.6f count=%d\n" % (time.perf_counter() - start, count))


if __name__ == "__main__":
    main()
