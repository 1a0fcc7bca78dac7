"""Level-5 and version 4 variables written into version 7.3 files.

usage: v73_check.py TOOL OUT DATA [NEWDIR]

Every MAT-file of MATLAB's twin pairs (DATA/matlab73-*/v5.mat) and of the
other writers (DATA/{scipy,matio,octave,matlab}) is added with `TOOL add` to
an existing, empty version 7.3 file. The result must hold, read by h5py, the
values scipy reads from the source; a twin's must also stand in MATLAB's own
layout (classes, attributes, shapes, types, references) as in its v73.mat.
A source that holds objects must be refused with a message naming the
variable and leave the target as it was. NEWDIR holds twins written into new
version 7.3 files (matOpen "w73") by the engine's test: checked the same way.
"""
import glob, os, subprocess, sys, time, warnings
import h5py, numpy as np, scipy.io, scipy.sparse

warnings.simplefilter("ignore")
tool, out, data = sys.argv[1:4]
newdir = sys.argv[4] if len(sys.argv) > 4 else None
os.makedirs(out, exist_ok=True)
failures, counts = [], {"layout": 0, "values": 0, "refused": 0, "new": 0}


def fail(*words):
    failures.append(" ".join(str(w) for w in words))


def empty73(path):
    with h5py.File(path, "w", userblock_size=512):
        pass
    text = ("MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: " + time.asctime() + " HDF5 schema 1.00 .")
    with open(path, "r+b") as f:
        f.write(text.ljust(116).encode() + b"\0" * 8 + b"\x00\x02IM")


def attrs(o):
    d = {}
    for k in ("MATLAB_class", "MATLAB_int_decode", "MATLAB_empty", "MATLAB_sparse", "MATLAB_global"):
        if k in o.attrs:
            v = o.attrs[k]
            d[k] = v.decode() if isinstance(v, bytes) else v.item()
    if "MATLAB_fields" in o.attrs:
        d["fields"] = [b"".join(x).decode() for x in o.attrs["MATLAB_fields"]]
    return d


def layout(f, o):
    if isinstance(o, h5py.Group):
        return ("G", attrs(o), {k: layout(f, o[k]) for k in sorted(o.keys())})
    v = o[()]
    if h5py.check_dtype(ref=o.dtype):
        return ("R", attrs(o), o.shape, [layout(f, f[r]) for r in np.ravel(v)])
    return ("D", attrs(o), o.shape, str(o.dtype), repr(v.tolist() if hasattr(v, "tolist") else v))


def values73(f, o):
    """A 7.3 object as scipy.io.loadmat gives it (chars_as_strings=False)."""
    a = attrs(o)
    cls = a.get("MATLAB_class")
    if a.get("MATLAB_empty"):
        shape = tuple(int(d) for d in o[()])
        if cls == "struct":
            return ("struct", shape, sorted(a.get("fields", [])), [])
        return ("empty", cls, shape)
    if isinstance(o, h5py.Group) and "MATLAB_sparse" in a:
        rows, jc = a["MATLAB_sparse"], o["jc"][()]
        ir = o["ir"][()] if "ir" in o else np.zeros(0, np.uint64)
        d = o["data"][()] if "data" in o else np.zeros(0)
        if d.dtype.names:
            d = d["real"] + 1j * d["imag"]
        m = scipy.sparse.csc_matrix((d, ir.astype(np.int64), jc.astype(np.int64)), shape=(rows, len(jc) - 1))
        return ("num", m.shape, repr(m.toarray().astype(complex).flatten("F").tolist()))
    if isinstance(o, h5py.Group):
        fields = a.get("fields") or sorted(o.keys())
        kids = {k: o[k] for k in fields}
        first = kids[fields[0]] if fields else None
        if isinstance(first, h5py.Dataset) and h5py.check_dtype(ref=first.dtype) and "MATLAB_class" not in first.attrs:
            shape = kids[fields[0]].shape[::-1]
            elems = [{k: values73(f, f[np.ravel(kids[k][()].T, order="F")[i]]) for k in fields}
                     for i in range(int(np.prod(shape)))]
            return ("struct", shape, sorted(fields), elems)
        return ("struct", (1, 1), sorted(fields), [{k: values73(f, kids[k]) for k in fields}])
    v = o[()].T
    if cls == "cell":
        return ("cell", v.shape, [values73(f, f[r]) for r in v.flatten("F")])
    if v.dtype.names:
        v = v["real"] + 1j * v["imag"]
    if cls == "char":
        return ("char", v.shape, "".join(chr(c) for c in v.flatten("F")))
    if cls == "logical":
        v = v.astype(bool)
    return ("num", v.shape, repr(v.astype(complex).flatten("F").tolist()))


def values5(x):
    if not scipy.sparse.issparse(x) and not isinstance(x, np.ndarray):
        return ("unread",)   # what scipy gives no array for is not compared
    if scipy.sparse.issparse(x):
        return ("num", x.shape, repr(x.toarray().astype(complex).flatten("F").tolist()))
    if x.dtype.names:
        elems = [{k: values5(e[k]) for k in x.dtype.names} for e in x.flatten("F")]
        return ("struct", x.shape, sorted(x.dtype.names), elems) if x.size else ("struct", x.shape, sorted(x.dtype.names), [])
    if x.size == 0:
        kind = "cell" if x.dtype == object else "char" if x.dtype.kind == "U" else None
        return ("empty", kind, x.shape)
    if x.dtype == object and all(e is None for e in x.flat):
        return ("unread",)   # a struct without fields
    if x.dtype == object:
        return ("cell", x.shape, [values5(e) for e in x.flatten("F")])
    if x.dtype.kind == "U":
        return ("char", x.shape, "".join(x.flatten("F")))
    return ("num", x.shape, repr(x.astype(complex).flatten("F").tolist()))


def same_values(a, b):
    # An empty array's class is the layout's business; its size is the value.
    if a[0] == "unread":
        return True
    if a[0] == "empty" and b[0] == "empty":
        return a[2] == b[2]
    return a == b if a[0] != "cell" and a[0] != "struct" else (
        a[:2] == b[:2] and (a[0] == "cell" or a[2] == b[2]) and len(a[-1]) == len(b[-1]) and all(
            same_values(x, y) if a[0] == "cell" else all(same_values(x[k], y[k]) for k in x)
            for x, y in zip(a[-1], b[-1])))


def check_values(src, target, label):
    try:
        loaded = scipy.io.loadmat(src, chars_as_strings=False, squeeze_me=False)
    except Exception:
        return   # scipy cannot read it (MATLAB's UTF-8 text): the layout check stands
    with h5py.File(target, "r") as f:
        for name, value in loaded.items():
            if name.startswith("__"):
                continue
            if name not in f:
                fail(label, name, "missing")
                continue
            if not same_values(values5(value), values73(f, f[name])):
                fail(label, name, "values differ:", values5(value), values73(f, f[name]))
            counts["values"] += 1


def check_layout(twin, target, label):
    with h5py.File(twin, "r") as a, h5py.File(target, "r") as b:
        for name in a:
            if name.startswith("#"):
                continue
            if name not in b:
                fail(label, name, "missing")
            elif layout(a, a[name]) != layout(b, b[name]):
                fail(label, name, "layout differs:\n  MATLAB:", layout(a, a[name]), "\n  ours:  ", layout(b, b[name]))
            else:
                counts["layout"] += 1


def add(src, label):
    target = os.path.join(out, label.replace("/", "_") + ".mat")
    empty73(target)
    before = open(target, "rb").read()
    run = subprocess.run([tool, "add", "--yes", target, src], capture_output=True, text=True)
    return target, before, run


for v5 in sorted(glob.glob(os.path.join(data, "matlab73-*", "v5.mat"))):
    label = os.path.basename(os.path.dirname(v5))
    target, before, run = add(v5, label)
    if run.returncode != 0:
        # Only objects are refused, with the variable named, the target untouched.
        if "its variable" not in run.stderr + run.stdout or "object" not in run.stderr + run.stdout:
            fail(label, "refused:", run.stderr.strip())
        elif open(target, "rb").read() != before:
            fail(label, "target changed by a refusal")
        counts["refused"] += 1
        continue
    check_layout(os.path.join(os.path.dirname(v5), "v73.mat"), target, label)
    check_values(v5, target, label)
    if newdir:
        made = os.path.join(newdir, label + ".mat")
        if os.path.exists(made):
            check_layout(os.path.join(os.path.dirname(v5), "v73.mat"), made, label + " (new)")
            check_values(v5, made, label + " (new)")
            counts["new"] += 1

for writer in ("scipy", "matio", "octave", "matlab"):
    for src in sorted(glob.glob(os.path.join(data, writer, "*.mat"))):
        label = writer + "/" + os.path.basename(src)
        try:
            scipy.io.loadmat(src)
        except Exception:
            continue   # not for scipy to judge (damaged, version 7.3, objects scipy cannot read)
        target, before, run = add(src, label)
        if run.returncode != 0:
            text = run.stderr + run.stdout
            if not any(w in text for w in ("object", "damaged", "two variables", "cannot be read", "of one name")):
                fail(label, "refused:", text.strip())
            elif open(target, "rb").read() != before:
                fail(label, "target changed by a refusal")
            counts["refused"] += 1
            if os.environ.get("V73_CHECK_VERBOSE"):
                print("refused", label, text.strip().splitlines()[1:2])
            continue
        check_values(src, target, label)

for line in failures:
    print("FAIL", line)
print("checked %(layout)d layouts, %(values)d values, %(new)d new files, %(refused)d refusals" % counts)
sys.exit(1 if failures else 0)
