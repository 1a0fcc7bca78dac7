"""Judges the files `matwcx extract --as FORMAT` wrote, with the readers
their users have (numpy.load, csv, pandas.read_csv, json.loads,
scipy.io.mmread), against
scipy's or h5py's values of the source variables; and which class and format
pairs are refused. Usage: export_check.py TOOL OUT SOURCE.mat..."""
import csv, json, math, os, subprocess, sys, types
import numpy, pandas, scipy.io, scipy.sparse, h5py, warnings
from matvalues import DTYPES, h5_array, h5_class, write73
warnings.simplefilter("ignore")   # scipy's notes on what it casts

FORMATS = ["csv", "tsv", "npy", "json", "mtx", "txt"]
failures, checked, containers, sparse_checked = [], 0, 0, set()

# What each format takes: (class, complex) -> formats; everything takes txt.
NUMERIC = ["double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"]
def accepted(cls, complex_, sparse, ndims):
    if sparse:
        return {"mtx", "csv", "tsv", "txt"}
    if cls not in NUMERIC + ["logical", "char"] or (cls == "char" and ndims > 2):
        return {"txt"}
    if complex_:
        return {"csv", "tsv", "txt"} | ({"npy"} if cls in ("double", "single") else set())
    return set(FORMATS) - {"mtx"}

def texts(value):
    """A cell of text rows as its texts in MATLAB's order, else None."""
    if isinstance(value, numpy.ndarray) and value.dtype == object and all(
            isinstance(x, numpy.ndarray) and x.dtype.kind == "U" and x.size <= 1 for x in value.ravel()):
        return [str(x[0]) if x.size else "" for x in value.ravel(order="F")]

def fail(what):
    failures.append(what)

def encode(v):
    """jsonencode's rules over scipy's loadmat values (unsqueezed)."""
    if isinstance(v, numpy.ndarray) and v.dtype.names:   # a struct: objects by the shape rules
        objects = [{k: encode(x[k]) for k in v.dtype.names} for x in v.ravel(order="F")]
        return shaped(v.shape, objects)
    if isinstance(v, numpy.ndarray) and v.dtype == object:   # a cell: its elements in order
        return [encode(x) for x in v.ravel(order="F")]
    if isinstance(v, numpy.ndarray) and v.dtype.kind == "U":   # characters: one text per row
        rows = [str(x) for x in v.ravel()]
        return rows[0] if len(rows) == 1 else ("" if not rows else rows)
    if isinstance(v, numpy.ndarray):
        def one(x):
            if v.dtype.kind == "b":
                return bool(x)
            if v.dtype.kind == "f":
                return float(x) if math.isfinite(x) else None
            return int(x)
        return shaped(v.shape, [one(x) for x in v.ravel(order="F")])
    return v

def shaped(shape, flat):
    """Elements in MATLAB's order laid out as jsonencode lays them out."""
    if not flat:
        return []
    if len(flat) == 1:
        return flat[0]
    if len(shape) <= 2 and 1 in shape:
        return flat
    array = numpy.empty(len(flat), dtype=object)
    array[:] = flat
    array = array.reshape(shape, order="F")
    def nest(a):
        return [nest(x) for x in a] if isinstance(a, numpy.ndarray) else a
    return nest(array)

def variables(path):
    """name -> (class, numpy value as MATLAB holds it, sparse)"""
    out = {}
    try:
        info = scipy.io.whosmat(path)
        loaded = scipy.io.loadmat(path)
        version4 = scipy.io.matlab.matfile_version(path)[0] == 0
        for name, _, cls in info:
            value = loaded[name]
            if version4 and cls in NUMERIC:
                cls = "double"   # MATLAB reads every number of version 4 as double
            if hasattr(value, "tocsc"):
                out[name] = ("logical" if cls == "logical" else "double", value.tocsc(), True)
                continue
            if cls in NUMERIC:   # in the class's type (MATLAB may store doubles as small integers)
                complex_ = value.dtype.kind == "c"
                value = value.astype(("c8" if cls == "single" else "c16") if complex_ else DTYPES[cls])
            out[name] = (cls, value, False)
    except (ValueError, NotImplementedError):
        with h5py.File(path, "r") as f:
            for name, item in f.items():
                cls = h5_class(item) or "struct"
                if name.startswith("#"):
                    continue
                if "MATLAB_sparse" in item.attrs:
                    out[name] = (cls, h5_sparse(item, cls), True)
                    continue
                if not isinstance(item, h5py.Dataset) or cls not in NUMERIC + ["logical", "char"]:
                    out[name] = (cls, None, False)
                    continue
                value = h5_array(item)
                if cls == "char" and value.size:
                    value = numpy.array(["".join(map(chr, row)) for row in value])
                out[name] = (cls, value, bool(item.attrs.get("MATLAB_sparse", False)))
    return out

def h5_sparse(item, cls):
    """A version 7.3 sparse matrix as scipy's csc_matrix, stored values in MATLAB's order."""
    jc = item["jc"][()].astype(numpy.int64)
    rows, stored = int(item.attrs["MATLAB_sparse"]), int(jc[-1])
    ir = item["ir"][()].astype(numpy.int64)[:stored] if stored else numpy.zeros(0, numpy.int64)
    data = h5_array(item["data"]).ravel()[:stored] if stored else numpy.zeros(0)
    data = data.astype(bool) if cls == "logical" else data.astype(complex if data.dtype.kind == "c" else float)
    return scipy.sparse.csc_matrix((data, ir, jc), shape=(rows, len(jc) - 1))

def check_sparse(cls, value, fmt, path):
    """Stored values, one line each in MATLAB's order: scipy's mmread and
    pandas' read_csv give the source's places and values."""
    want = value.tocoo()
    if fmt == "mtx":
        with open(path, encoding="ascii") as f:
            banner = f.readline().split()
        field = "pattern" if cls == "logical" else "complex" if value.dtype.kind == "c" else "real"
        got = scipy.io.mmread(path)
        values = got.data.astype(bool) if field == "pattern" else got.data
        ok = banner == ["%%MatrixMarket", "matrix", "coordinate", field, "general"] and got.shape == value.shape
    else:
        frame = pandas.read_csv(path, sep="," if fmt == "csv" else "\t", dtype=str)
        got = types.SimpleNamespace(row=frame["row"].astype(int).to_numpy() - 1, col=frame["col"].astype(int).to_numpy() - 1)
        values = [number(x, value.dtype) for x in frame["value"]]
        values = numpy.array(values, dtype=bool if cls == "logical" else value.dtype)
        ok = list(frame.columns) == ["row", "col", "value"]
    ok = ok and same(got.row, want.row) and same(got.col, want.col) and same(values, want.data)
    return ok or fail(f"{path}: read back as {got!r}, want {want!r}")

def is_hdf5(path):
    with open(path, "rb") as f:
        return f.read(520)[512:] == b"\x89HDF\r\n\x1a\n"

def number(text, dtype):
    text = text.strip()
    if text.endswith("i"):
        return complex(text[:-1] + "j")
    return float(text) if dtype.kind in "fc" else int(text)

def same(a, b):
    a, b = numpy.asarray(a), numpy.asarray(b)
    return a.shape == b.shape and numpy.array_equal(a, b, equal_nan=a.dtype.kind in "fc")

def pages(value):
    """2-D pages of an array in MATLAB's order, with their lines."""
    if value.size == 0:
        return []
    if value.ndim <= 2:
        return [(None, value.reshape(value.shape[0], -1))]
    rest = value.shape[2:]
    out = []
    for p in range(int(numpy.prod(rest))):
        index = numpy.unravel_index(p, rest, order="F")
        out.append(("(:,:," + ",".join(str(i + 1) for i in index) + ")", value[(slice(None), slice(None)) + index]))
    return out

def jsonencode(cls, value):
    if cls == "char":
        rows = list(value)
        return rows[0] if len(rows) == 1 else ("" if len(rows) == 0 else rows)
    if value.size == 0:
        return []
    def scalar(x):
        if cls == "logical":
            return bool(x)
        if value.dtype.kind == "f":
            return None if not math.isfinite(x) else float(x)
        return int(x)
    if value.ndim == 2 and 1 in value.shape:
        flat = [scalar(x) for x in value.ravel(order="F")]
        return flat[0] if len(flat) == 1 else flat
    def nest(a):
        return [nest(x) for x in a] if a.ndim > 0 else scalar(a[()])
    return nest(value)

def check_texts(want, shape, fmt, path):
    """Texts and times: a quoted field per element (rows and columns as the
    array has them), NPY's texts or datetime64 by the array's shape."""
    if fmt == "npy":
        got = numpy.load(path)
        flat = list(got.ravel(order="F"))
        if got.dtype.kind == "M":   # times as the viewer's text (dd-MMM-yyyy HH:mm:ss)
            flat = [pandas.Timestamp(x).strftime("%d-%b-%Y %H:%M:%S") for x in flat]
        ok = got.shape == tuple(shape) and flat == want
        return ok or fail(f"{path}: numpy.load gives {got!r}, want {want!r}")
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, delimiter="," if fmt == "csv" else "\t"))
    grid = numpy.array(want, dtype=object).reshape(shape, order="F").tolist() if want else []
    return rows == grid or fail(f"{path}: csv gives {rows!r}, want {grid!r}")

def check_objects(tool, out, source):
    """A table, datetimes and the table's variables (strings, datetimes, a
    categorical) lifted out of MATLAB's struct into variables of their own:
    each written as CSV, TSV and NPY reads back as its JSON says."""
    global checked
    lifted = os.path.join(out, "objects.mat")
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "lift_objects.py"), source, lifted], check=True)
    for fmt in ["json", "csv", "tsv", "npy"]:
        subprocess.run([tool, "extract", lifted, "--as", fmt, "-d", os.path.join(out, "objects", fmt)], capture_output=True)
    def path(fmt, name):
        return os.path.join(out, "objects", fmt, name + "." + fmt)
    for name in ["testTable", "testDatetime", "testDatetimeComplex", "Customer", "Date", "Rating", "Comment"]:
        with open(path("json", name), encoding="utf-8") as f:
            want = json.loads(f.read())
        for fmt in ["csv", "tsv", "npy"]:
            checked += 1
            if name != "testTable":
                want_ = want if isinstance(want, list) else [want]
                check_texts(want_, (len(want_), 1), fmt, path(fmt, name))
            elif fmt == "npy":
                os.path.exists(path(fmt, name)) and fail(f"{path(fmt, name)}: a table written as NPY")
            else:
                frame = pandas.read_csv(path(fmt, name), sep="," if fmt == "csv" else "\t")
                columns = ["FlightNum", "Customer", "Date", "Rating", "Comment"]
                if list(frame.columns) != columns or frame.to_dict("records") != want:
                    fail(f"{path(fmt, name)}: pandas reads {frame.to_dict('records')!r}, want {want!r}")
    # The rules' edge cases, each once: a variable of two columns, NaN, -Inf,
    # a fraction, a missing string, NaT, an undefined category (empty fields),
    # texts with the separator, quotes and a line end (quoted).
    edge = os.path.join(out, "edge.mat")
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "lift_objects.py"), source, edge, "--edge"], check=True)
    rows = [["FlightNum_1", "FlightNum_2", "Customer", "Date", "Rating", "Comment"],
            ["1261", "", "Jones", "20-Dec-2016 00:00:00", "Good", '"a\nb"'], ["547", "0.1", "", "", "", ""],
            ["3489", "-Inf", '"Sm,ith ""x"""', "22-Dec-2016 00:00:00", "Fair", "c"]]
    for fmt, sep in (("csv", ","), ("tsv", "\t")):
        checked += 1
        subprocess.run([tool, "extract", edge, "testTable", "--as", fmt, "-d", os.path.join(out, "edge")], capture_output=True)
        with open(os.path.join(out, "edge", "testTable." + fmt), encoding="utf-8", newline="") as f:
            got = f.read()
        frame = pandas.read_csv(os.path.join(out, "edge", "testTable." + fmt), sep=sep)
        if got != "".join(sep.join(r) + "\n" for r in rows) or frame["Comment"][0] != "a\nb" or frame.shape != (3, 6):
            fail(f"edge table as {fmt}: {got!r}")
    # The viewer shows a missing string as MATLAB does, and the strings after it.
    shown = subprocess.run([tool, "view", edge, "testTable"], capture_output=True, text=True).stdout
    if "<missing>" not in shown or '"Sm,ith "x""' not in shown:
        fail(f"edge table's view: {shown}")
    # A timetable of the table's variables, its row times the Date column:
    # the times come first in CSV, TSV and JSON, headed "Time"; no NPY.
    sys.path.insert(0, os.path.dirname(__file__))
    import lift_objects
    tt = os.path.join(out, "tt.mat")
    lift_objects.timetable(lifted, tt)
    with open(path("json", "testTable"), encoding="utf-8") as f:
        rows = json.loads(f.read())
    for fmt in ["csv", "tsv", "json", "npy"]:
        checked += 1
        result = subprocess.run([tool, "extract", tt, "tt", "--as", fmt, "-d", os.path.join(out, "tt")], capture_output=True, text=True)
        written = os.path.join(out, "tt", "tt." + fmt)
        if fmt == "npy":
            (result.returncode == 0 or os.path.exists(written)) and fail(f"{written}: a timetable written as NPY")
            continue
        if fmt == "json":
            with open(written, encoding="utf-8") as f:
                got = json.loads(f.read())
            want = [dict([("Time", r["Date"])] + list(r.items())) for r in rows]
        else:
            got = pandas.read_csv(written, sep="," if fmt == "csv" else "\t").to_dict("records")
            want = [dict([("Time", r["Date"])] + list(r.items())) for r in rows]
        if got != want or list(got[0]) != list(want[0]):
            fail(f"{written}: reads {got!r}, want {want!r}")
    shown = subprocess.run([tool, "view", tt, "tt"], capture_output=True, text=True).stdout
    if "timetable [3x5]" not in shown or not any("Time" in line and "FlightNum" in line for line in shown.split("\n")):
        fail(f"the timetable's view: {shown}")
    # A string matrix of 600 texts (missing and empty ones among them) reads
    # back row by row as JSON: its texts are found by their place, not in order.
    texts = [None if i % 37 == 5 else ("t%d" % i) * (i % 4) for i in range(600)]
    matrix = os.path.join(out, "strings.mat")
    lift_objects.string_matrix(lifted, matrix, texts, 20)
    checked += 1
    subprocess.run([tool, "extract", matrix, "Customer", "--as", "json", "-d", os.path.join(out, "strings")], capture_output=True)
    with open(os.path.join(out, "strings", "Customer.json"), encoding="utf-8") as f:
        got = json.loads(f.read())
    if got != [[texts[c * 20 + r] for c in range(30)] for r in range(20)]:
        fail(f"a 20x30 string matrix as JSON: {got!r}")
    # A table whose subsystem data (11 MB) is more than is held in memory, in
    # a version 7 file and its version 7.3 conversion: read from a mapped
    # scratch copy, every row as pandas holds it.
    grown = os.path.join(out, "grown.mat")
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "..", "..", "bench", "make_table.py"),
                    source, "200000", grown], check=True)
    subprocess.run([tool, "convert", grown, grown + "73.mat", "--to", "7.3"], capture_output=True, check=True)
    want = pandas.read_pickle(grown + ".pkl")
    for version, path_ in (("7", grown), ("7.3", grown + "73.mat")):
        checked += 1
        folder = os.path.join(out, "grown" + version)
        subprocess.run([tool, "extract", path_, "testTable", "--as", "csv", "-d", folder], capture_output=True)
        got = pandas.read_csv(os.path.join(folder, "testTable.csv")) if os.path.exists(os.path.join(folder, "testTable.csv")) else None
        if got is None or list(got.columns) != list(want.columns) or len(got) != len(want) or not (
                (got["FlightNum"] == want["FlightNum"]).all() and (got["Customer"] == want["Customer"]).all() and
                (got["Comment"] == want["Comment"]).all() and (got["Rating"] == want["Rating"].astype(str)).all() and
                (pandas.to_datetime(got["Date"], format="%d-%b-%Y %H:%M:%S") == want["Date"]).all()):
            fail(f"a table of 200000 rows in a version {version} file as CSV: {None if got is None else got.head()}")
    # Its row times and variables as parts, by the rows' dimension name and their names.
    times = subprocess.run([tool, "view", tt, "tt.Time"], capture_output=True, text=True).stdout
    nope = subprocess.run([tool, "view", tt, "tt.Nope"], capture_output=True, text=True)
    if "datetime [3x1] = 20-Dec-2016" not in times or "no variable 'Nope' in the timetable tt" not in nope.stderr:
        fail(f"the timetable's parts: {times!r} {nope.stderr!r}")

def check(cls, value, fmt, path):
    dtype = value.dtype
    if fmt == "npy":
        got = numpy.load(path)
        want = value if cls != "logical" else value.astype(bool)
        if cls == "char":
            ok = list(got) == list(value)
        else:
            ok = got.dtype == want.dtype.newbyteorder("<") and same(got, want) and got.flags.f_contiguous
        return ok or fail(f"{path}: numpy.load gives {got!r}, want {want!r}")
    if fmt == "json":
        with open(path, encoding="utf-8") as f:
            got = json.loads(f.read())
        want = jsonencode(cls, value)
        if cls == "single" and got is not None:
            got = json.loads(json.dumps(got), parse_float=lambda t: float(numpy.float32(t)))
            want = json.loads(json.dumps(want), parse_float=lambda t: float(numpy.float32(t)))
        return got == want or fail(f"{path}: json.loads gives {got!r}, want {want!r}")
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, delimiter="," if fmt == "csv" else "\t"))
    if cls == "char":
        return [r[0] for r in rows] == list(value) or fail(f"{path}: csv gives {rows!r}, want {list(value)!r}")
    want, marks = [], []
    for line, page in pages(value):
        if line is not None:
            want.append([line])
            marks.append('"%s"' % line)
        want.extend(page.tolist())
    # A page's line is quoted alike in CSV and TSV.
    with open(path, encoding="utf-8") as f:
        got_marks = [line.rstrip("\n") for line in f if "(:" in line]
    if got_marks != marks:
        return fail(f"{path}: page lines {got_marks!r}, want {marks!r}")
    got = [row if row[0].startswith("(:") else [number(x, dtype) for x in row] for row in rows]
    if cls == "single":
        got = [[x if isinstance(x, str) else numpy.complex64(x) if isinstance(x, complex) else numpy.float32(x) for x in r]
               for r in got]
    ok = [len(r) for r in got] == [len(r) for r in want] and all(
        a == b or (not isinstance(a, str) and a != a and b != b) for r, w in zip(got, want) for a, b in zip(r, w))
    if ok and value.ndim == 2 and value.size and dtype.kind in "fiub":
        frame = pandas.read_csv(path, header=None, sep="," if fmt == "csv" else "\t")
        # Column by column: pandas gives each column a type of its own.
        with numpy.errstate(invalid="ignore"):
            ok = all(same(frame[c].to_numpy().astype(value.dtype), value[:, c]) for c in frame.columns)
    return ok or fail(f"{path}: csv gives {rows!r}, want {want!r}")

tool, out, sources = sys.argv[1], sys.argv[2], sys.argv[3:]
# A cell of texts beyond Latin-1, above the surrogates (U+FF21) and beyond
# U+FFFF, which scipy stores as UTF-8.
os.makedirs(out, exist_ok=True)
cell = numpy.empty((1, 2), dtype=object)
cell[0, 0], cell[0, 1] = "héllo \uff21\u20ac", "a\U0001F600b"
scipy.io.savemat(os.path.join(out, "utf8.mat"), {"c": cell})
sources.append(os.path.join(out, "utf8.mat"))
# A cell of texts and a struct array whose elements inflate beyond what is
# held in memory (8 MB): read from a mapped scratch copy.
texts_ = numpy.empty((4000, 1), dtype=object)
runs = numpy.empty((1, 5000), dtype=[("id", "O"), ("name", "O"), ("values", "O")])
for i in range(4000):
    texts_[i, 0] = ("text %d, " % i) * 120
for i in range(5000):
    runs[0, i] = (float(i), "run%05d" % i, numpy.arange(250.0).reshape(1, 250) + i)
large = os.path.join(out, "large.mat")
scipy.io.savemat(large, {"texts": texts_, "runs": runs}, do_compression=True)
sources.append(large)
# Its struct array in a version 7.3 file goes to JSON as from the version 7
# one: its references are read in batches (4096), and the batch after the
# first holds the rest.
subprocess.run([tool, "convert", large, large + "73.mat", "--to", "7.3"], capture_output=True, check=True)
for name_, file_ in (("7", large), ("73", large + "73.mat")):
    subprocess.run([tool, "extract", file_, "runs", "--as", "json", "-d", os.path.join(out, "runs" + name_)], capture_output=True)
with open(os.path.join(out, "runs7", "runs.json"), "rb") as a, open(os.path.join(out, "runs73", "runs.json"), "rb") as b:
    if a.read() != b.read():
        fail("a struct array of 5000 elements: its JSON from version 7.3 differs from version 7's")
# Version 7.3 arrays larger than one read (2,097,152 elements), chunked and
# compressed as MATLAB stores them: the reads end inside a row and a page.
rng = numpy.random.default_rng(5)
write73(os.path.join(out, "runs73.mat"), [("pages", "double", rng.standard_normal((150, 170, 97))),
                                          ("shorts", "int16", rng.integers(-999, 999, (2100, 1300)).astype(numpy.int16))])
sources.append(os.path.join(out, "runs73.mat"))
for number_, source in enumerate(sources):
    if os.path.basename(source) == "struct_table_datetime.mat":
        check_objects(tool, out, source)
        continue
    values = variables(source)
    for fmt in FORMATS:
        folder = os.path.join(out, str(number_), fmt)
        subprocess.run([tool, "extract", source, "--as", fmt, "-d", folder], capture_output=True)
        written = {os.path.splitext(n)[0].lower(): os.path.join(folder, n) for n in os.listdir(folder)}
        for name, (cls, value, sparse) in values.items():
            ndims = 2 if value is None else value.ndim
            complex_ = value is not None and value.dtype.kind == "c"
            want = accepted(cls if value is not None or sparse else "struct", complex_, sparse, ndims)
            path = written.get(name.lower())
            checked += 1
            cell_texts = texts(value) if cls == "cell" else None
            if cell_texts is not None and fmt in ("csv", "tsv", "npy"):
                if path is None:
                    fail(f"{source} {name}: a cell of texts refused as {fmt}")
                else:
                    check_texts(cell_texts, value.shape, fmt, path)
                continue
            container = cls not in NUMERIC + ["logical", "char"] and not sparse and fmt == "json"
            if container and path is not None:   # a struct or cell: its values
                with open(path, encoding="utf-8") as f:
                    got = json.loads(f.read())
                # A version 7.3 file's as scipy reads the file's conversion to version 7.
                level5 = source
                if is_hdf5(source):
                    level5 = os.path.join(out, str(number_), "level5.mat")
                    if not os.path.exists(level5):
                        subprocess.run([tool, "convert", source, level5, "--to", "7"], capture_output=True)
                want = encode(scipy.io.loadmat(level5, squeeze_me=False)[name])
                containers += 1
                if got != want:
                    fail(f"{path}: json.loads gives {got!r}, want {want!r}")
            elif container:
                pass   # refused: it holds what jsonencode refuses (tests/cli)
            elif (path is not None) != (fmt in want):
                fail(f"{source} {name} ({cls}) as {fmt}: {'written' if path else 'refused'}")
            elif path is not None and sparse and fmt != "txt":
                check_sparse(cls, value, fmt, path)
                sparse_checked.add((fmt, cls if value.dtype.kind != "c" else "complex", value.nnz > 0, is_hdf5(source)))
            elif path is not None and fmt != "txt":
                check(cls, value, fmt, path)
            elif path is not None and open(path, "rb").read() != subprocess.run(
                    [tool, "view", source, name], capture_output=True).stdout:
                fail(f"{path}: not the viewer's text")
for line in failures:
    print("FAIL", line)
print(f"checked {checked} variable and format pairs of {len(sources)} files, {containers} structs and cells as JSON, "
      f"{len(sparse_checked)} kinds of sparse matrix")
sys.exit(1 if failures else 0)
