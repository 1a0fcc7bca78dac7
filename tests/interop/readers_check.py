"""Version 7 files written from version 7.3 ones, loaded by GNU Octave and matio.

usage: readers_check.py TOOL OUT DATA

Every version 7.3 file of DATA (MATLAB's twins, its object files, matio's and
hdf5storage's) goes to version 7 by each write path: `TOOL convert --to 7`,
extraction with "Extract as" 7 (one file per variable), and `TOOL add` into a
compressed level-5 file that holds a variable of its own. Octave's `load`
must read each file whole: the same variables, a struct's fields in their
order, a numeric, char or logical array's class. `matdump -d` must read it
and show each top-level struct with its fields. Prints "skipped" when
octave-cli or matdump is not installed.
"""
import glob, os, re, shutil, subprocess, sys, warnings
import h5py
import numpy as np
import scipy.io as sio

warnings.simplefilter("ignore")
tool, out, data = sys.argv[1:4]
if not shutil.which("octave-cli") or not shutil.which("matdump"):
    print("skipped: octave-cli or matdump not installed")
    sys.exit(0)
os.makedirs(out, exist_ok=True)
failures = []
PLAIN = {"double", "single", "char", "logical", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"}


def run(*args):
    return subprocess.run([tool, "--ini", os.path.join(out, "wcx.ini")] + list(args), capture_output=True, text=True)


def expected(src):
    """{name: (class, fields)} of the file's variables; fields of a struct, else None."""
    with h5py.File(src, "r") as f:
        result = {}
        for name in f:
            if name.startswith("#"):
                continue
            a = f[name].attrs
            cls = a.get("MATLAB_class", b"").decode()
            if a.get("MATLAB_sparse") is not None or (isinstance(f[name], h5py.Dataset) and f[name].dtype.names):
                cls = "complex or sparse"   # Octave keeps no complex integers
            fields = [bytes(n).decode() for n in a["MATLAB_fields"]] if cls == "struct" and "MATLAB_fields" in a else None
            result[name] = (cls, fields)
        return result


# Each written file, with the variables it must hold.
written = []
run("options", "--extract-as", "7")
for src in sorted(glob.glob(os.path.join(data, "*", "v73.mat"))):
    label = os.path.basename(os.path.dirname(src))
    if label == "damaged73":
        continue
    want = expected(src)
    converted = os.path.join(out, "c-" + label + ".mat")
    if run("convert", src, converted, "--to", "7").returncode != 0:
        failures.append("%s: convert --to 7 failed" % label)
    written.append((converted, want))
    folder = os.path.join(out, "x-" + label)
    if run("extract", src, "-d", folder).returncode != 0:
        failures.append("%s: extraction failed" % label)
    for name in want:
        if want[name][0] == "function_handle":
            continue   # extraction writes no function handle into a MAT-file (an empty file)
        made = glob.glob(os.path.join(folder, glob.escape(name) + ".*.mat"))
        if len(made) != 1:
            failures.append("%s: %s not extracted" % (label, name))
        else:
            written.append((made[0], {name: want[name]}))
    target = os.path.join(out, "a-" + label + ".mat")
    sio.savemat(target, {"zz_base": np.array([[1.0, 2.0]])}, do_compression=True)
    if run("add", "--yes", target, src).returncode != 0:
        failures.append("%s: adding to a level-5 file failed" % label)
    written.append((target, dict(want, zz_base=("double", None))))

# One Octave for every file: per variable its name, class and a struct's fields.
listing = os.path.join(out, "files.txt")
with open(listing, "w") as f:
    f.write("".join(path + "\n" for path, _ in written))
script = """
files = strsplit(fileread('%s'), "\\n");
for k = 1:numel(files)
  if isempty(files{k}), continue; end
  try
    x = load(files{k}); names = fieldnames(x);
    for i = 1:numel(names)
      v = x.(names{i}); fields = '';
      if isstruct(v), fields = strjoin(fieldnames(v)', ','); end
      printf('%%s\\t%%s\\t%%s\\t%%s\\n', files{k}, names{i}, class(v), fields);
    end
  catch e
    printf('%%s\\tFAIL\\t%%s\\n', files{k}, e.message);
  end
end
""" % listing
loaded = subprocess.run(["octave-cli", "--norc", "--quiet", "--eval", script], capture_output=True, text=True).stdout
seen = {}
for line in loaded.splitlines():
    parts = line.split("\t")
    if len(parts) >= 3 and parts[1] == "FAIL":
        failures.append("octave: %s: %s" % (parts[0], parts[2]))
    elif len(parts) == 4:
        seen.setdefault(parts[0], {})[parts[1]] = (parts[2], parts[3].split(",") if parts[3] else [])

for path, want in written:
    got = seen.get(path, {})
    if sorted(got) != sorted(want):
        failures.append("octave: %s holds %s, not %s" % (path, sorted(got), sorted(want)))
        continue
    for name, (cls, fields) in want.items():
        if cls in PLAIN and got[name][0] != cls:
            failures.append("octave: %s: %s is %s, not %s" % (path, name, got[name][0], cls))
        if fields is not None and got[name][1] != fields:
            failures.append("octave: %s: %s has fields %s, not %s" % (path, name, got[name][1], fields))
    dump = subprocess.run(["matdump", "-d", path], capture_output=True, text=True, errors="replace")
    if dump.returncode != 0:
        failures.append("matdump: %s: %s" % (path, dump.stderr.strip()))
        continue
    # Top-level arrays are named at this indentation; a struct's fields count follows.
    counts = {}
    for block in re.split(r"^      Name: ", dump.stdout, flags=re.M)[1:]:
        match = re.search(r"Fields\[(\d+)\]", block)
        counts[block.split("\n", 1)[0]] = int(match.group(1)) if match else None
    for name, (cls, fields) in want.items():
        if fields and counts.get(name) != len(fields):
            failures.append("matdump: %s: %s shows %s fields, not %d" % (path, name, counts.get(name), len(fields)))

for why in failures:
    print("FAIL", why)
print("checked %d files of %d variables" % (len(written), sum(len(w) for _, w in written)))
