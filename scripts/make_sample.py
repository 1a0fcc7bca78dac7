#!/usr/bin/python3
"""Writes a small sample MAT-file (version 5, compressed, as MATLAB saves by
default) with a few variables of different classes.

Usage: /usr/bin/python3 scripts/make_sample.py [PATH]   (default: build/sample.mat)
"""
import os
import sys

import numpy as np
import scipy.io


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "sample.mat")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)

    settings = np.zeros((1, 1), dtype=[("name", object), ("gain", object), ("enabled", object)])
    settings[0, 0]["name"] = "sensor A"
    settings[0, 0]["gain"] = np.array([[2.5]])
    settings[0, 0]["enabled"] = np.array([[True]])

    notes = np.empty((1, 3), dtype=object)
    notes[0, 0] = "first run"
    notes[0, 1] = np.array([[1.0, 2.0, 3.0]])
    notes[0, 2] = np.array([[7]], dtype=np.int32)

    t = np.linspace(0.0, 1.0, 5)
    variables = {
        "A": np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]),          # double 2x3
        "signal": np.exp(2j * np.pi * t).reshape(1, -1),            # complex double 1x5
        "title": "Sample data written by make_sample.py",           # char
        "counts": np.array([[10, 20], [30, 40]], dtype=np.int16),   # int16 2x2
        "mask": np.array([[True, False, True]]),                    # logical 1x3
        "settings": settings,                                       # struct 1x1
        "notes": notes,                                             # cell 1x3
    }
    scipy.io.savemat(path, variables, do_compression=True)
    print(path)


if __name__ == "__main__":
    main()
