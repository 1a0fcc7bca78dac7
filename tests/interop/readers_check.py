"""Version 7 files written from DATA's version 7.3 ones by `TOOL convert --to 7`,
"Extract as" 7 and `TOOL add` into a compressed level-5 file: Octave's load
must give the same variables, classes and struct fields, `matdump -d` each
top-level struct's fields. usage: readers_check.py TOOL OUT DATA
"""
import glob, os, re, shutil, subprocess, sys, warnings
import h5py
import numpy as np
import scipy.io as sio

warnings.simplefilter("ignore")
tool, out, data = sys.argv[1:4]
if not shutil.which("octave-cli") or not shutil.which("matdump"):
    sys.exit(print("skipped: octave-cli or matdump not installed"))
os.makedirs(out, exist_ok=True)
failures, written = [], []   # written: (file, {name: (class, struct fields or None)})
PLAIN = {"double", "single", "char", "logical", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"}


def run(*args):
    return subprocess.run([tool, "--ini", os.path.join(out, "wcx.ini")] + list(args), capture_output=True).returncode


def variables(src):
    with h5py.File(src, "r") as f:
        want = {}
        for name in (n for n in f if not n.startswith("#")):
            a, item = f[name].attrs, f[name]
            cls = a.get("MATLAB_class", b"").decode()
            if "MATLAB_sparse" in a or (isinstance(item, h5py.Dataset) and item.dtype.names):
                cls = "complex or sparse"   # Octave has no complex integers
            want[name] = (cls, [bytes(n).decode() for n in a["MATLAB_fields"]] if "MATLAB_fields" in a else None)
        return want


run("options", "--extract-as", "7")
# An empty struct array keeps its fields from 7 to 7.3 and back.
empty = {"es": np.empty((0, 0), dtype=[("a", "O"), ("b", "O"), ("c", "O")]), "x": np.array([[1.0]])}
os.makedirs(os.path.join(out, "empty"), exist_ok=True)
sio.savemat(os.path.join(out, "empty.mat"), empty)
run("convert", os.path.join(out, "empty.mat"), os.path.join(out, "empty", "v73.mat"), "--to", "7.3")
for src in sorted(glob.glob(os.path.join(data, "*", "v73.mat"))) + [os.path.join(out, "empty", "v73.mat")]:
    label = os.path.basename(os.path.dirname(src))
    if label == "damaged73":
        continue
    want = variables(src)
    converted, folder, target = (os.path.join(out, p + label) for p in ("c-", "x-", "a-"))
    if run("convert", src, converted + ".mat", "--to", "7") != 0 or run("extract", src, "-d", folder) != 0:
        failures.append("%s: conversion or extraction failed" % label)
    written.append((converted + ".mat", want))
    # Extraction writes no function handle into a MAT-file (an empty file).
    for name in (n for n in want if want[n][0] != "function_handle"):
        made = glob.glob(os.path.join(folder, glob.escape(name) + ".*.mat"))
        written.append((made[0] if len(made) == 1 else folder + "/" + name, {name: want[name]}))
    sio.savemat(target + ".mat", {"zz_base": np.array([[1.0, 2.0]])}, do_compression=True)
    if run("add", "--yes", target + ".mat", src) != 0:
        failures.append("%s: adding to a level-5 file failed" % label)
    written.append((target + ".mat", dict(want, zz_base=("double", None))))

# One Octave for every file: per variable its name, class and a struct's fields.
with open(os.path.join(out, "files.txt"), "w") as f:
    f.write("".join(path + "\n" for path, _ in written))
script = """for file = strsplit(fileread('%s'), "\\n")
  if isempty(file{1}), continue; end
  try
    x = load(file{1});
    for name = fieldnames(x)'
      v = x.(name{1}); fields = '';
      if isstruct(v), fields = strjoin(fieldnames(v)', ','); end
      printf('%%s\\t%%s\\t%%s\\t%%s\\n', file{1}, name{1}, class(v), fields);
    end
  catch e
    printf('%%s\\tFAIL\\t%%s\\n', file{1}, e.message);
  end
end""" % os.path.join(out, "files.txt")
seen = {}
for line in subprocess.run(["octave-cli", "--norc", "--quiet", "--eval", script], capture_output=True, text=True).stdout.splitlines():
    parts = line.split("\t")
    if parts[1:2] == ["FAIL"]:
        failures.append("octave: " + line)
    elif len(parts) == 4:
        seen.setdefault(parts[0], {})[parts[1]] = (parts[2], parts[3].split(",") if parts[3] else [])

for path, want in written:
    got = seen.get(path, {})
    if sorted(got) != sorted(want):
        failures.append("octave: %s holds %s, not %s" % (path, sorted(got), sorted(want)))
        continue
    for name, (cls, fields) in want.items():
        if (cls in PLAIN and got[name][0] != cls) or (cls == "struct" and fields is not None and got[name][1] != fields):
            failures.append("octave: %s: %s is %s, not %s %s" % (path, name, got[name], cls, fields))
    dump = subprocess.run(["matdump", "-d", path], capture_output=True, text=True, errors="replace")
    # Top-level arrays are named at this indentation; a struct's field count follows.
    shown = {b.split("\n", 1)[0]: re.search(r"Fields\[(\d+)\]", b) for b in re.split(r"^      Name: ", dump.stdout, flags=re.M)[1:]}
    for name, (cls, fields) in want.items():
        if dump.returncode != 0 or (cls == "struct" and fields and (not shown.get(name) or int(shown[name].group(1)) != len(fields))):
            failures.append("matdump: %s: %s not read with its fields %s" % (path, name, fields))

for why in failures:
    print("FAIL", why)
print("checked %d files of %d variables" % (len(written), sum(len(w) for _, w in written)))
