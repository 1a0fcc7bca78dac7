#!/usr/bin/python3
"""Writes the scipy.io MAT-files of the test data, each with a .json beside it.

Usage: /usr/bin/python3 scipy_writer.py OUTDIR

The .json holds, per variable in file order: name, class (MATLAB's class name
as libmx reports it), dims, complex/logical/sparse/global flags, scipy's own
view (whosmat class and shape) and, for numeric, char and logical arrays, the
values flattened in column-major order. scripts/testdata/README.md describes every file.
"""
import json
import os
import sys

import numpy as np
import scipy.io
import scipy.sparse
from scipy.io.matlab import MatlabObject
from scipy.io.matlab._mio5 import MatFile5Writer

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import describe_headers  # noqa: E402  (beside this file)

# JSON has no NaN or infinity: they are written as these strings.
def _num(x):
    if isinstance(x, (np.floating, float)):
        if np.isnan(x):
            return "NaN"
        if np.isinf(x):
            return "Inf" if x > 0 else "-Inf"
        return float(x)
    if isinstance(x, (np.bool_, bool)):
        return int(x)
    return int(x)


def _flat(a):
    return np.asarray(a).flatten(order="F")


CLASS_OF_DTYPE = {
    "float64": "double", "float32": "single", "complex128": "double",
    "complex64": "single", "int8": "int8", "uint8": "uint8", "int16": "int16",
    "uint16": "uint16", "int32": "int32", "uint32": "uint32", "int64": "int64",
    "uint64": "uint64", "bool": "logical",
}


def describe(name, value, is_global=False, v4=False):
    d = {"name": name, "global": is_global, "complex": False,
         "logical": False, "sparse": False}
    if scipy.sparse.issparse(value):
        dense = value.toarray()
        d["sparse"] = True
        d["class"] = "logical" if dense.dtype == bool else "double"
        d["logical"] = dense.dtype == bool
        d["complex"] = np.iscomplexobj(dense)
        d["dims"] = list(dense.shape)
        d["nnz"] = int(value.nnz)
        d["values"] = [_num(x) for x in _flat(dense.real if d["complex"] else dense)]
        if d["complex"]:
            d["imag"] = [_num(x) for x in _flat(dense.imag)]
        return d
    if isinstance(value, MatlabObject):
        d["class"] = "object"
        d["classname"] = value.classname
        d["dims"] = list(value.shape) if value.ndim >= 2 else [1, 1]
        d["fields"] = list(value.dtype.names)
        return d
    if isinstance(value, str):
        value = np.array(value)
    a = np.asarray(value)
    if a.dtype.kind == "U":
        text = a.item() if a.ndim == 0 else None
        chars = np.array([[c for c in text]]) if text is not None else \
            np.array([[c for c in row] for row in a])
        if text == "":
            chars = np.zeros((0, 0), dtype="U1")
        d["class"] = "char"
        d["dims"] = list(chars.shape)
        d["values"] = [ord(c) for c in _flat(chars)]
        d["text"] = ["".join(r) for r in chars]   # one string per row
        return d
    if a.dtype.names is not None:
        d["class"] = "struct"
        d["dims"] = list(a.shape) if a.ndim >= 2 else [1, max(a.size, 1)]
        d["fields"] = list(a.dtype.names)
        return d
    if a.dtype == object:
        d["class"] = "cell"
        d["dims"] = list(a.shape)
        return d
    dims = list(a.shape)
    if len(dims) < 2:
        dims = [1, a.size] if a.ndim == 1 else [1, 1]
    d["dims"] = dims
    d["complex"] = np.iscomplexobj(a)
    d["class"] = CLASS_OF_DTYPE[a.dtype.name]
    d["logical"] = a.dtype == bool
    if v4:
        # Version 4 files have no classes: MATLAB loads every matrix as
        # double. The stored precision is kept for the tests.
        d["v4_precision"] = d["class"]
        d["class"] = "double"
    d["values"] = [_num(x) for x in _flat(a.real if d["complex"] else a)]
    if d["complex"]:
        d["imag"] = [_num(x) for x in _flat(a.imag)]
    return d


def v4_variables():
    return [
        ("v4_double", np.arange(1.0, 13.0).reshape(3, 4)),
        ("v4_row", np.array([[1.5, -2.5, 0.0, 1e300, -1e-300]])),
        ("v4_complex", np.array([[1 + 2j, 3 - 4j], [-5 + 0.5j, 0 - 1j]])),
        ("v4_char", "hello v4"),
        # 5x4 with three non-zeros: stored as a 4x3 matrix of (i, j, value) rows
        ("v4_sparse", scipy.sparse.csc_matrix(np.array(
            [[0, 2.0, 0, 0], [1.0, 0, 0, 0], [0, 0, 0, 0], [0, 0, 3.5, 0], [0, 0, 0, 0]]))),
        ("v4_single", np.array([[1.25, -2.5, 3.0]], dtype=np.float32)),
        ("v4_int32", np.array([[-2147483648], [2147483647]], dtype=np.int32)),
        ("v4_int16", np.array([[-32768, 0, 32767]], dtype=np.int16)),
        ("v4_uint16", np.array([[0, 65535]], dtype=np.uint16)),
        ("v4_uint8", np.array([[0, 1, 255]], dtype=np.uint8)),
    ]


def v5_variables():
    st_scalar = np.zeros((1, 1), dtype=[("a", object), ("b", object), ("c", object)])
    st_scalar[0, 0]["a"] = np.array([[1.0, 2.0, 3.0]])
    st_scalar[0, 0]["b"] = "text"
    cell_in = np.empty((1, 2), dtype=object)
    cell_in[0, 0] = np.array([[7.0]])
    cell_in[0, 1] = "seven"
    st_scalar[0, 0]["c"] = cell_in

    st_array = np.zeros((1, 3), dtype=[("x", object), ("y", object)])
    for i in range(3):
        st_array[0, i]["x"] = np.array([[float(i + 1)]])
        st_array[0, i]["y"] = np.array([[i, i + 1]], dtype=np.int16)

    inner = np.zeros((1, 1), dtype=[("leaf", object)])
    inner[0, 0]["leaf"] = np.array([[42.0]])
    st_nested = np.zeros((1, 1), dtype=[("inner", object), ("name", object)])
    st_nested[0, 0]["inner"] = inner
    st_nested[0, 0]["name"] = "outer"

    cell_mixed = np.empty((1, 3), dtype=object)
    cell_mixed[0, 0] = np.array([[1.0]])
    cell_mixed[0, 1] = "two"
    cell_mixed[0, 2] = np.array([[3, 4]], dtype=np.int8)

    deepest = np.empty((1, 1), dtype=object)
    deepest[0, 0] = "deep"
    mid = np.empty((1, 2), dtype=object)
    mid[0, 0] = np.array([[1.0]])
    mid[0, 1] = deepest
    cell_nested = np.empty((2, 1), dtype=object)
    cell_nested[0, 0] = mid
    cell_nested[1, 0] = np.array([[7]], dtype=np.int8)

    obj_fields = np.zeros((1, 1), dtype=[("value", object), ("unit", object)])
    obj_fields[0, 0]["value"] = np.array([[9.81]])
    obj_fields[0, 0]["unit"] = "m/s^2"
    obj = MatlabObject(obj_fields, "measurement")

    return [
        ("d_matrix", np.arange(1.0, 13.0).reshape(3, 4)),
        ("d_scalar", np.array([[np.pi]])),
        ("d_special", np.array([[np.nan, np.inf, -np.inf, -0.0]])),
        ("d_empty", np.zeros((0, 0))),
        ("d_3d", np.arange(1.0, 25.0).reshape((2, 3, 4), order="F")),
        ("s_matrix", np.array([[1.5, 2.5, 3.5], [-1.0, 0.0, 1e30]], dtype=np.float32)),
        ("i8", np.array([[-128, -1, 0, 127]], dtype=np.int8)),
        ("u8", np.array([[0, 1, 254, 255]], dtype=np.uint8)),
        ("i16", np.array([[-32768, 0, 32767]], dtype=np.int16)),
        ("u16", np.array([[0, 65535]], dtype=np.uint16)),
        ("i32", np.array([[-2147483648, 0, 2147483647]], dtype=np.int32)),
        ("u32", np.array([[0, 4294967295]], dtype=np.uint32)),
        ("i64", np.array([[-9223372036854775808, -1, 9223372036854775807]], dtype=np.int64)),
        ("u64", np.array([[0, 18446744073709551615]], dtype=np.uint64)),
        ("c_double", np.array([[1 + 2j, 3 - 4j], [-5 + 0.5j, 0 - 1j]])),
        ("c_single", np.array([[1 + 1j, 2 - 2j, -3 + 0j]], dtype=np.complex64)),
        ("logical", np.array([[True, False, True], [False, False, True]])),
        ("text", "hello world"),
        ("text_utf8", "Grüße Ω €"),
        ("text_rows", np.array(["abc", "def"])),
        ("text_empty", ""),
        ("sp_double", scipy.sparse.csc_matrix(np.array(
            [[0, 0, 1.5, 0, 0], [2.0, 0, 0, 0, 0], [0, 0, 0, 0, -3.0], [0, 4.0, 0, 0, 0]]))),
        ("sp_complex", scipy.sparse.csc_matrix(np.array(
            [[1 + 1j, 0, 0], [0, 0, 2 - 3j], [0, 0, 0]]))),
        ("sp_logical", scipy.sparse.csc_matrix(np.array(
            [[True, False, False, False], [False, False, True, False], [False, False, False, True]]))),
        ("sp_empty", scipy.sparse.csc_matrix((3, 2))),
        ("cell_mixed", cell_mixed),
        ("cell_nested", cell_nested),
        ("cell_empty", np.empty((0, 0), dtype=object)),
        ("st_scalar", st_scalar),
        ("st_array", st_array),
        ("st_nested", st_nested),
        ("obj", obj),
        ("g_counter", np.array([[5.0]])),   # written with the global flag
    ]


GLOBALS = ["g_counter"]


def check_against_walker(mat_path, described):
    """The description must match what the file holds, as the independent
    header walker reads it: a wrong .json would mislead every test."""
    walked = describe_headers.describe(mat_path)
    if "error" in walked:
        sys.exit("scipy_writer: %s: %s" % (mat_path, walked["error"]))
    keys = ("name", "class", "dims", "complex", "logical", "sparse", "global")
    for mine, theirs in zip(described, walked["variables"]):
        if any(mine[k] != theirs[k] for k in keys):
            sys.exit("scipy_writer: %s: described %s, file holds %s" % (
                mat_path, {k: mine[k] for k in keys}, {k: theirs[k] for k in keys}))
    if len(described) != len(walked["variables"]):
        sys.exit("scipy_writer: %s: variable count differs" % mat_path)


def write_json(mat_path, fmt, compressed, variables, v4=False):
    whos = {name: (shape, cls) for name, shape, cls in scipy.io.whosmat(mat_path)}
    out = {"file": os.path.basename(mat_path), "writer": "scipy " + scipy.__version__,
           "format": fmt, "compressed": compressed, "byte_order": sys.byteorder,
           "variables": []}
    for name, value in variables:
        d = describe(name, value, is_global=name in GLOBALS, v4=v4)
        shape, cls = whos[name]
        d["scipy_whos"] = {"class": cls, "shape": list(shape)}
        out["variables"].append(d)
    check_against_walker(mat_path, out["variables"])
    # One variable a line, so that a diff of two runs is readable.
    variables = out.pop("variables")
    with open(mat_path[:-4] + ".json", "w", encoding="utf-8") as f:
        f.write(json.dumps(out, ensure_ascii=False)[:-1] + ', "variables": [\n')
        f.write(",\n".join(json.dumps(v, ensure_ascii=False) for v in variables))
        f.write("\n]}\n")


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)

    v4vars = v4_variables()
    path = os.path.join(outdir, "v4.mat")
    scipy.io.savemat(path, dict(v4vars), format="4")
    write_json(path, "4", False, v4vars, v4=True)

    v5vars = v5_variables()
    for compressed, fname in ((False, "v5.mat"), (True, "v5_compressed.mat")):
        path = os.path.join(outdir, fname)
        with open(path, "wb") as f:
            writer = MatFile5Writer(f, do_compression=compressed, unicode_strings=True,
                                    global_vars=GLOBALS, oned_as="row")
            writer.put_variables(dict(v5vars))
        write_json(path, "5", compressed, v5vars)


if __name__ == "__main__":
    main()
