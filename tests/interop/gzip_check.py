#!/usr/bin/env python3
"""GNU Octave's "save -zip" version 6 and 4 files (a MAT-file wrapped whole in
gzip) list, view, extract, export and show in the content plug-in's search;
deleting from one is refused. usage: gzip_check.py TOOL DIR"""
import os, shutil, subprocess, sys

if not shutil.which("octave-cli"):
    sys.exit(print("skipped: octave-cli not installed"))
tool, out = os.path.abspath(sys.argv[1]), sys.argv[2]
os.makedirs(out, exist_ok=True)
subprocess.run(["octave-cli", "--norc", "--quiet", "--eval",
                "x=[1 2;3 4]; s.a=1; save('-zip','-v6','f6.mat','x','s'); save('-zip','-v4','f4.mat','x')"],
               cwd=out, capture_output=True)
failures = []

def run(*args):
    return subprocess.run([tool, *args], cwd=out, capture_output=True, text=True)

for name, variables in (("f6.mat", ["x", "s"]), ("f4.mat", ["x"])):
    listed = run("list", name).stdout
    for v in variables:
        if '"%s.' % v not in listed:
            failures.append("%s: %s not listed: %s" % (name, v, listed))
    viewed = run("view", name, "x").stdout
    if "1            2" not in viewed or "3            4" not in viewed:
        failures.append("%s: view of x: %s" % (name, viewed))
    d = name + ".out"
    run("extract", name, "x", "-d", d, "--as", "csv")
    csv = open(os.path.join(out, d, "x.csv")).read() if os.path.exists(os.path.join(out, d, "x.csv")) else ""
    if csv != "1,2\n3,4\n":
        failures.append("%s: x.csv holds %r" % (name, csv))
    before = open(os.path.join(out, name), "rb").read()
    refused = run("delete", "--yes", name, "x")
    if refused.returncode == 0 or "gzip-compressed" not in refused.stdout + refused.stderr:
        failures.append("%s: deletion not refused: %s" % (name, refused.stdout + refused.stderr))
    if open(os.path.join(out, name), "rb").read() != before:
        failures.append("%s: changed by the refused deletion" % name)
found = run("find", ".", "--var", "s").stdout
if "f6.mat" not in found:
    failures.append("content plug-in does not find s in f6.mat: " + found)
print("\n".join(failures) if failures else "checked 2 gzip-wrapped files")
