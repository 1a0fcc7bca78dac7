#!/usr/bin/python3
"""Writes OUT.mat holding one table of ROWS rows and 5 mixed variables
(FlightNum double, Customer string, Date datetime, Rating categorical,
Comment string), MATLAB's own table of struct_table_datetime.mat grown:
its row count and its variables' values in the subsystem data replaced by
larger ones (tests/interop/lift_objects.py), and OUT.mat.pkl, the same
values as a pandas DataFrame.
Usage: make_table.py struct_table_datetime.mat ROWS OUT.mat"""
import os, struct, sys
import numpy as np, pandas as pd
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "interop"))
import lift_objects as lo

source, rows, target = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(0)
customer = np.array(["Jones", "Brown", "Smith", "Garcia", "Müller"])[rng.integers(0, 5, rows)]
flight = rng.integers(1, 10000, rows).astype(float)
date_ms = 1.4822e12 + rng.integers(0, 10**6, rows) * 60000.0
codes = rng.integers(1, 4, rows).astype(np.uint8)
comment = np.array(["ok, on time", "late", 'a "b"'])[rng.integers(0, 3, rows)]

def change(cls, dims, t, data):
    dates = t == 9 and struct.unpack_from("<d", data)[0] > 1e12   # small whole numbers are kept as integers
    if cls == 6 and dims == (3, 1):
        return lo.numeric(6, [rows, 1], 9, (date_ms if dates else flight).tobytes())
    if cls == 9 and dims == (3, 1):
        return lo.numeric(9, [rows, 1], 2, codes.tobytes())
    if cls == 6 and dims == (1, 1) and t == 9 and data[:8] == struct.pack("<d", 3):   # the row count
        return lo.numeric(6, [1, 1], 9, struct.pack("<d", rows))
    if cls == 15 and b"J\0o\0n\0e\0s" in data:
        return lo.strings(list(customer))
    if cls == 15 and b"c\0r\0o\0w\0d" in data:
        return lo.strings(list(comment))

lifted = target + ".lifted"
lo.lift(source, lifted)
lo.table_with(lifted, target, change)
os.remove(lifted)
pd.DataFrame({"FlightNum": flight, "Customer": customer, "Date": pd.to_datetime(date_ms, unit="ms"),
              "Rating": pd.Categorical.from_codes(codes - 1, ["Fair", "Good", "Poor"]),
              "Comment": comment}).to_pickle(target + ".pkl")
