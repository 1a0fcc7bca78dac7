"""The test files' own descriptions (.json beside each) as the content test
reads them: "path<TAB>format<TAB>name,class;..." for the named variables,
names as their bytes stand in the file."""
import glob
import json
import sys


def raw(text):
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        return text.encode("utf-8")


def class_of(var):
    # An old-style object whose class the description does not name: "*".
    return var.get("classname") or ("*" if var["class"] == "object" else var["class"])


for path in sorted(glob.glob(sys.argv[1] + "/*/*.json")):
    try:
        d = json.load(open(path))
    except Exception:
        continue
    if "error" in d:
        continue
    named = [v for v in d.get("variables", []) if v.get("name")]
    line = raw(path[:-5] + ".mat\t" + d.get("format", "?") + "\t")
    line += b";".join(raw(v["name"]) + b"," + raw(class_of(v)) for v in named) + b"\n"
    sys.stdout.buffer.write(line)
