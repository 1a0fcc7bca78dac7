"""Level-5 and version 4 variables written into version 7.3 files.

usage: v73_check.py TOOL OUT DATA

Every MAT-file of MATLAB's twin pairs (DATA/matlab73-*/v5.mat) and of the
other writers (DATA/{scipy,matio,octave,matlab}) is added with `TOOL add` to
an existing, empty version 7.3 file, and each twin is also converted into a
new one (`TOOL convert --to 7.3`). The result must hold, read by h5py, the
values scipy reads from the source; a twin's must also stand in MATLAB's own
layout (classes, attributes, shapes, types, references) as in its v73.mat
(function_handles' twins come from two releases: values only). No twin is
refused; another writer's file that is must be named with the reason and
leave the target as it was.
"""
import glob, os, subprocess, sys, warnings
import h5py
from matvalues import layout, load, plain_differences, write73

warnings.simplefilter("ignore")
tool, out, data = sys.argv[1:4]
os.makedirs(out, exist_ok=True)
failures, counts = [], {"layout": 0, "values": 0, "refused": 0, "new": 0}


def fail(*words):
    failures.append(" ".join(str(w) for w in words))


# What MATLAB's layout is judged by (its files carry other attributes too).
KEYS = ("MATLAB_class", "MATLAB_int_decode", "MATLAB_empty", "MATLAB_sparse", "MATLAB_global", "MATLAB_fields")


def check_values(src, target, label):
    loaded = load(src, chars_as_strings=False)
    if not isinstance(loaded, dict):
        return   # scipy cannot read it (MATLAB's UTF-8 text): the layout check stands
    names = [name for name in loaded if not name.startswith("__")]
    for why in plain_differences(loaded, target, names):
        fail(label, why)
    counts["values"] += len(names)


def check_layout(twin, target, label):
    with h5py.File(twin, "r") as a, h5py.File(target, "r") as b:
        for name in a:
            if name.startswith("#"):
                continue
            if name not in b:
                fail(label, name, "missing")
            elif layout(a, a[name], KEYS) != layout(b, b[name], KEYS):
                fail(label, name, "layout differs:\n  MATLAB:", layout(a, a[name], KEYS), "\n  ours:  ", layout(b, b[name], KEYS))
            else:
                counts["layout"] += 1


# MATLAB's twins (DATA/matlab73-*/v5.mat, judged also by the layout of their
# v73.mat) and the other writers' files that scipy reads.
sources = [(v5, os.path.basename(os.path.dirname(v5)), os.path.join(os.path.dirname(v5), "v73.mat"))
           for v5 in sorted(glob.glob(os.path.join(data, "matlab73-*", "v5.mat")))]
sources += [(src, writer + "/" + os.path.basename(src), None) for writer in ("scipy", "matio", "octave", "matlab")
            for src in sorted(glob.glob(os.path.join(data, writer, "*.mat"))) if isinstance(load(src), dict)]
for src, label, twin in sources:
    target = os.path.join(out, label.replace("/", "_") + ".mat")
    write73(target)
    before = open(target, "rb").read()
    run = subprocess.run([tool, "add", "--yes", target, src], capture_output=True, text=True)
    if run.returncode != 0:
        # No twin is refused; another file names why, and the target stays as it was.
        text = run.stderr + run.stdout
        reasons = ("object", "damaged", "two variables", "cannot be read", "of one name")
        if twin or not any(w in text for w in reasons):
            fail(label, "refused:", text.strip())
        elif open(target, "rb").read() != before:
            fail(label, "target changed by a refusal")
        elif twin and subprocess.run([tool, "convert", src, target + ".new", "--to", "7.3"], capture_output=True).returncode == 0:
            fail(label, "converted although adding it was refused")
        elif os.path.exists(target + ".new"):
            fail(label, "a refused conversion left a file")
        counts["refused"] += 1
        continue
    made = [(target, label)]
    new = os.path.join(out, label + ".new.mat")
    if twin and subprocess.run([tool, "convert", src, new, "--to", "7.3"], capture_output=True).returncode == 0:
        made.append((new, label + " (new)"))
        counts["new"] += 1
    elif twin:
        fail(label, "not converted into a new file")
    for path, name in made:
        if twin and "function_handles" not in label:
            check_layout(twin, path, name)
        check_values(src, path, name)

for line in failures:
    print("FAIL", line)
print("checked %(layout)d layouts, %(values)d values, %(new)d new files, %(refused)d refusals" % counts)
sys.exit(1 if failures else 0)
