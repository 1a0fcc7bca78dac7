#!/usr/bin/python3
"""Writes NAME.json beside each MAT-file given: its variables' headers (name,
class, dims, complex, logical, sparse, global) in file order, read by this
small walker, which is independent of the engine and of scipy's reader. A file
it cannot walk gets "error" and whatever it listed before the failure.

Usage: /usr/bin/python3 describe_headers.py [--markdown | --count | --values] FILE.mat ...
With --markdown, prints one line per file instead (for scripts/testdata/README.md);
with --count, the number of variables (or "error"); with --values, the .json
also holds the values that scipy.io loads (see add_values).
"""
import json
import os
import struct
import sys
import zlib

sys.dont_write_bytecode = True   # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

CLASSES = {1: "cell", 2: "struct", 3: "object", 4: "char", 5: "sparse", 6: "double",
           7: "single", 8: "int8", 9: "uint8", 10: "int16", 11: "uint16", 12: "int32",
           13: "uint32", 14: "int64", 15: "uint64", 16: "function_handle", 17: "opaque"}
MI_MATRIX, MI_COMPRESSED = 14, 15


def v4_variables(data):
    out, pos = [], 0
    while pos + 20 <= len(data):
        for endian in ("<", ">"):
            mopt, m, n, imagf, namlen = struct.unpack(endian + "5i", data[pos:pos + 20])
            if 0 <= mopt < 5000 and mopt % 10 < 3 and namlen > 0:
                break
        else:
            raise ValueError("bad version 4 header at %d" % pos)
        order = "big" if endian == ">" else "little"
        p = (mopt // 10) % 10
        size = [8, 4, 4, 2, 2, 1][p]
        t = mopt % 10
        name = data[pos + 20:pos + 20 + namlen].split(b"\0")[0].decode("latin1")
        v = {"name": name, "class": "char" if t == 1 else "double", "dims": [m, n],
             "complex": bool(imagf), "logical": False, "sparse": t == 2, "global": False,
             "byte_order": order}
        start = pos + 20 + namlen
        if t == 2 and m >= 1 and n >= 3:
            # A sparse matrix is stored as rows (i, j, value[, imag]); the last
            # row holds the matrix's own dimensions.
            fmt = endian + "dfihHB"[p]
            last_i = struct.unpack(fmt, data[start + (m - 1) * size:start + m * size])[0]
            last_j = struct.unpack(fmt, data[start + (2 * m - 1) * size:start + 2 * m * size])[0]
            v["stored_dims"] = [m, n]
            v["dims"] = [int(last_i), int(last_j)]
            v["complex"] = v["complex"] or n == 4   # (i, j, real, imag) rows
        out.append(v)
        pos = start + m * n * size * (2 if imagf else 1)
    if pos != len(data):
        raise ValueError("version 4 data ends inside a variable")
    return out


def tag(buf, pos, e):
    """(type, size, data offset, next offset) of the element at pos."""
    t, = struct.unpack(e + "I", buf[pos:pos + 4])
    if t >> 16:   # small data element: size in the upper half, data in the tag
        return t & 0xFFFF, t >> 16, pos + 4, pos + 8
    size, = struct.unpack(e + "I", buf[pos + 4:pos + 8])
    return t, size, pos + 8, pos + 8 + ((size + 7) & ~7)


def matrix_header(buf, e):
    """Header of a miMATRIX element starting at buf[0]."""
    t, size, _, _ = tag(buf, 0, e)
    if t != MI_MATRIX:
        raise ValueError("element type %d where a matrix was expected" % t)
    if size == 0:
        return None
    _, _, fpos, nxt = tag(buf, 8, e)
    flags, = struct.unpack(e + "I", buf[fpos:fpos + 4])
    cls = flags & 0xFF
    _, dsize, dpos, nxt = tag(buf, nxt, e)
    dims = list(struct.unpack(e + "%di" % (dsize // 4), buf[dpos:dpos + dsize]))
    _, nsize, npos, _ = tag(buf, nxt, e)
    name = buf[npos:npos + nsize].decode("latin1")
    sparse = cls == 5
    logical = bool(flags & 0x200)
    cname = CLASSES.get(cls, "class %d" % cls)
    if sparse:
        cname = "logical" if logical else "double"
    elif logical:
        cname = "logical"
    return {"name": name, "class": cname, "dims": dims, "complex": bool(flags & 0x800),
            "logical": logical, "sparse": sparse, "global": bool(flags & 0x400)}


def inflate_head(stream, want=4096):
    """The first bytes of a compressed element, fed in small pieces so that a
    damaged end of the stream (a wrong Adler-32, say) does not hide a header
    that inflated cleanly: listing needs no more."""
    z = zlib.decompressobj()
    out = b""
    for i in range(0, len(stream), 8):
        try:
            out += z.decompress(stream[i:i + 8], want - len(out))
        except zlib.error:
            if out:
                break
            raise
        if len(out) >= want or z.eof:
            break
    return out


def v5_variables(data, e):
    out, pos = [], 128
    while pos + 8 <= len(data):
        t, size, dpos, _ = tag(data, pos, e)
        end = dpos + size   # top-level elements are not padded when compressed
        if end > len(data):
            raise ValueError("element at %d runs past the end of the file" % pos)
        if t == MI_COMPRESSED:
            h = matrix_header(inflate_head(data[dpos:end]), e)
        else:
            h = matrix_header(data[pos:end], e)
            end = pos + 8 + ((size + 7) & ~7) if t == MI_MATRIX else end
        if h is not None:
            out.append(h)
        pos = end
    return out


def describe(path):
    out = {"file": path.rsplit("/", 1)[-1], "variables": []}
    try:
        with open(path, "rb") as f:
            data = f.read()
        if len(data) >= 128 and data[126:128] in (b"IM", b"MI"):
            e = "<" if data[126:128] == b"IM" else ">"
            version, = struct.unpack(e + "H", data[124:126])
            out["byte_order"] = "little" if e == "<" else "big"
            if version != 0x0100:
                out["format"] = "7.3" if version == 0x0200 else "?"
                out["error"] = "not a version 5 file (version word 0x%04x)" % version
                return out
            out["format"] = "5"
            out["header_text"] = data[:116].decode("latin1").rstrip(" \0")
            out["variables"] = v5_variables(data, e)
        else:
            out["format"] = "4"
            out["variables"] = v4_variables(data)
            if out["variables"]:
                out["byte_order"] = out["variables"][0]["byte_order"]
    except Exception as ex:  # the point is to record what happened
        out["error"] = "%s: %s" % (type(ex).__name__, ex)
    return out


def add_values(path, variables):
    """Adds "values" (column-major; real part), "imag" and "text" for the
    numeric, char, logical and sparse variables that scipy.io loads, as
    scipy_writer.py writes them. A variable scipy cannot load gets
    "scipy_error" instead."""
    import numpy as np
    import scipy.io
    import scipy.sparse
    from scipy_writer import _flat, _num

    for v in variables:
        if not v["name"] or v["class"] in ("cell", "struct", "object", "function_handle", "opaque"):
            continue
        try:
            a = scipy.io.loadmat(path, variable_names=[v["name"]], chars_as_strings=False,
                                 squeeze_me=False)[v["name"]]
        except Exception as ex:  # recorded: a reader that scipy fails on is worth knowing
            v["scipy_error"] = "%s: %s" % (type(ex).__name__, ex)
            continue
        if scipy.sparse.issparse(a):
            a = a.toarray()
        a = np.asarray(a)
        if a.dtype.kind == "U":
            v["values"] = [ord(c) if c else 0 for c in _flat(a)]
            v["text"] = ["".join(row) for row in a] if a.ndim == 2 else []
            continue
        if a.dtype.kind not in "biufc":
            continue
        v["values"] = [_num(x) for x in _flat(a.real if a.dtype.kind == "c" else a)]
        if a.dtype.kind == "c":
            v["imag"] = [_num(x) for x in _flat(a.imag)]


def flags(v):
    return ", ".join(k for k in ("complex", "sparse", "global") if v.get(k))


def main():
    args = sys.argv[1:]
    mode = args[0] if args and args[0] in ("--markdown", "--count", "--values") else ""
    if mode:
        args = args[1:]
    for path in args:
        d = describe(path)
        if mode == "--values":
            add_values(path, d["variables"])
        if mode == "--count":
            print(len(d["variables"]) if "error" not in d else "error")
        elif mode == "--markdown":
            vs = "; ".join("%s %s [%s]%s" % (v["name"] or "(no name)", v["class"],
                                            "x".join(str(x) for x in v["dims"]),
                                            " (" + flags(v) + ")" if flags(v) else "")
                           for v in d["variables"])
            err = " — walk fails: " + d["error"] if "error" in d else ""
            print("- `%s` (v%s%s)%s: %s" % (d["file"], d.get("format", "?"),
                  ", big-endian" if d.get("byte_order") == "big" else "", err, vs or "—"))
        else:
            with open(path[:-4] + ".json", "w", encoding="utf-8") as f:
                json.dump(d, f, ensure_ascii=False)
                f.write("\n")


if __name__ == "__main__":
    main()
