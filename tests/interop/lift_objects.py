"""Writes TARGET: the objects of the struct `s` in MATLAB's
struct_table_datetime.mat (SOURCE) as variables of their own (testTable,
testDatetime, testDatetimeComplex), and the table's variables (FlightNum and
the objects Customer, Date, Rating, Comment), with the file's subsystem data
after them. The elements are copied byte for byte, renamed (MATLAB's files
hold no top-level table to test with). With --edge, a file of the table
alone whose values are replaced by the edge cases of its formats' rules.
Usage: lift_objects.py SOURCE TARGET [--edge]"""
import struct, sys, zlib


def tags(b, pos, end):
    """(type, data position, bytes, next) of each element from pos to end."""
    while pos + 8 <= end:
        t, n = struct.unpack_from("<II", b, pos)
        small = t >> 16
        step = 8 if small else 8 + n + (0 if t == 15 else -n % 8)   # compressed variables are not padded
        yield (t & 0xFFFF, pos + 4, small, pos + step) if small else (t, pos + 8, n, pos + step)
        pos += step


def variables(path):
    """The file's header and its variables' elements (inflated), in order."""
    raw = open(path, "rb").read()
    return raw[:128], [zlib.decompress(raw[p:p + n]) if t == 15 else raw[p - 8:p + n] for t, p, n, _ in tags(raw, 128, len(raw))]


def parse(b):
    """An array element's content as [class, [(type, bytes or parsed array)]]."""
    subs = [(t, b[p:p + n]) for t, p, n, _ in tags(b, 0, len(b))]
    if not subs:
        return None
    cls = subs[0][1][0]
    first = {1: 3, 2: 5, 3: 6, 17: 4}.get(cls)   # where a cell's, struct's, object's children start
    return [cls, [(t, parse(d) if first is not None and i >= first and t == 14 else d) for i, (t, d) in enumerate(subs)]]


def element(t, d):
    if t == 14:
        d = b"" if d is None else b"".join(element(*s) for s in d[1])
    return struct.pack("<II", t, len(d)) + d + bytes(-len(d) % 8)


def numeric(cls, dims, t, data, imag=None):
    """An unnamed numeric array (class code, dimensions, data type, data)."""
    parts = [(6, struct.pack("<II", cls | (0x800 if imag else 0), 0)), (5, struct.pack("<%di" % len(dims), *dims)), (1, b""), (t, data)]
    return [cls, parts + ([(t, imag)] if imag else [])]


def strings(texts):
    """A string object's data: version, dimensions, lengths (all ones: missing), UTF-16 units."""
    units = [b"" if t is None else t.encode("utf-16-le") for t in texts]
    words = [1, 2, len(texts), 1] + [2**64 - 1 if t is None else len(u) // 2 for t, u in zip(texts, units)]
    data = struct.pack("<%dQ" % len(words), *words) + b"".join(units)
    data += bytes(-len(data) % 8)
    return numeric(15, [len(data) // 8, 1], 13, data)


def write(path, header, elements):
    """A level-5 file of these array elements, the last the subsystem data."""
    header = bytearray(header)
    header[116:124] = struct.pack("<Q", 128 + sum(map(len, elements[:-1])))
    with open(path, "wb") as f:
        f.write(bytes(header) + b"".join(elements))


def lift(source, target):
    header, tops = variables(source)
    s = list(tags(tops[0], 8, len(tops[0])))
    length = struct.unpack_from("<I", tops[0], s[3][1])[0]
    names = [tops[0][s[4][1] + i:s[4][1] + i + length].rstrip(b"\0").decode() for i in range(0, s[4][2], length)]
    out = []
    for name, (_, p, n, _) in zip(names, s[5:]):
        array = parse(tops[0][p:p + n])
        array[1][1] = (1, name.encode())   # an object's name follows its flags
        out.append(element(14, array))
    # The table's variables: the cell of five in the subsystem data, objects held by their plain reference.
    wrapper = subsystem_cells(tops[-1])[0]
    data = next(d for t, d in wrapper if isinstance(d, list) and d[0] == 1 and d[1][1][1] == struct.pack("<2i", 1, 5))
    for name, (t, column), cls in zip(["FlightNum", "Customer", "Date", "Rating", "Comment"], data[1][3:],
                                      [b"", b"string", b"datetime", b"categorical", b"string"]):
        if cls:
            column = [17, [(6, struct.pack("<II", 17, 0)), (1, name.encode()), (1, b"MCOS"), (1, cls), (14, column)]]
        else:
            column[1][2] = (1, name.encode())
        out.append(element(14, column))
    write(target, header, out + [element(14, parse(tops[-1][8:]))])


def subsystem_cells(subsystem):
    """The FileWrapper__ cell's elements of the subsystem variable (parsed, to
    edit), and a function that makes the variable of them again."""
    top = parse(subsystem[8:])
    payload = top[1][3][1]
    length = struct.unpack_from("<I", payload, 12)[0]
    wrapper = parse(payload[16:16 + length])
    cells = wrapper[1][5][1][1][4][1][1]

    def rebuilt():
        new = payload[:8] + element(14, wrapper) + payload[16 + length + (-length % 8):]
        top[1][1] = (5, struct.pack("<2i", 1, len(new)))
        top[1][3] = (2, new)
        return element(14, top)
    return cells, rebuilt


def replace(cells, change):
    """Each numeric element among the cells (and the cells inside them) given
    to change(class, dims, type, data), which returns a new array or None."""
    for i, (t, d) in enumerate(cells):
        if not isinstance(d, list) or len(d[1]) < 4:
            continue
        if d[0] == 1:
            replace(d[1], change)
        elif not isinstance(d[1][3][1], list):
            dims = struct.unpack("<%di" % (len(d[1][1][1]) // 4), d[1][1][1])
            new = change(d[0], dims, d[1][3][0], d[1][3][1])
            if new is not None:
                cells[i] = (14, new)


def table_with(lifted, target, change):
    """The lifted file's table alone, its values changed by replace()."""
    header, tops = variables(lifted)
    cells, rebuilt = subsystem_cells(tops[-1])
    replace(cells, change)
    write(target, header, [element(14, parse(tops[1][8:])), rebuilt()])


def edge(lifted, target):
    """FlightNum a 3x2 matrix (NaN, -Inf, a fraction), a missing string, a text
    with the separator and quotes, an undefined category, NaT, a line end."""
    nan = float("nan")

    def change(cls, dims, t, data):
        dates = t == 9 and struct.unpack_from("<d", data)[0] > 1e12   # small whole numbers are kept as integers
        if cls == 6 and dims == (3, 1) and dates:
            return numeric(6, [3, 1], 9, struct.pack("<3d", 1482192000000.0, nan, 1482364800123.0))
        if cls == 6 and dims == (3, 1):
            return numeric(6, [3, 2], 9, struct.pack("<6d", 1261, 547, 3489, nan, 0.1, float("-inf")))
        if cls == 9 and dims == (3, 1):
            return numeric(9, [3, 1], 2, bytes([2, 0, 1]))
        if cls == 15 and b"J\0o\0n\0e\0s" in data:
            return strings(["Jones", None, 'Sm,ith "x"'])
        if cls == 15 and b"c\0r\0o\0w\0d" in data:
            return strings(["a\nb", "", "c"])
    table_with(lifted, target, change)


def metadata_parts(meta):
    """The object metadata's names and its eight regions (bytes each)."""
    words = struct.unpack_from("<10I", meta)
    offsets = list(words[2:]) + [len(meta)]
    names = meta[40:offsets[0]].split(b"\0")[:words[1]]
    return names, [bytearray(meta[offsets[r]:offsets[r + 1]]) for r in range(8)]


def metadata_of(names, regions):
    text = b"".join(n + b"\0" for n in names)
    text += bytes(-(40 + len(text)) % 8)
    offsets, at = [], 40 + len(text)
    for region in regions:
        offsets.append(at)
        at += len(region)
    return struct.pack("<10I", 4, len(names), *offsets) + text + b"".join(bytes(r) for r in regions)


def cell_of(elements, dims=None):
    dims = dims or [1, len(elements)]
    return [1, [(6, struct.pack("<II", 1, 0)), (5, struct.pack("<%di" % len(dims), *dims)), (1, b"")] + [(14, e) for e in elements]]


def char_row(text):
    units = text.encode("utf-16-le")
    return [4, [(6, struct.pack("<II", 4, 0)), (5, struct.pack("<2i", 1, len(text))), (1, b""), (4, units)]]


def struct_of(fields):
    """A 1x1 struct of (name, parsed array) pairs."""
    width = 32
    names = b"".join(n.encode().ljust(width, b"\0") for n, _ in fields)
    return [2, [(6, struct.pack("<II", 2, 0)), (5, struct.pack("<2i", 1, 1)), (1, b""), (5, struct.pack("<i", width)),
                (1, names)] + [(14, v) for _, v in fields]]


def timetable(lifted, target):
    """TARGET holds `tt`: a timetable made of the lifted file's table, its
    row times the table's Date column, as MATLAB saves a timetable: an object
    of class timetable whose one saved property `any` is a struct (data,
    varNames, numRows, rowTimes, dimNames, ...). MATLAB wrote no timetable
    among the test files; the layout is the one its saveobj is known for."""
    header, tops = variables(lifted)
    cells, rebuilt = subsystem_cells(tops[-1])
    meta = cells[3][1][1][3][1]
    names, regions = metadata_parts(meta)
    values = lambda region: [struct.unpack_from("<3I", region, p + 4 + 12 * i)
                             for p in block_starts(region) for i in range(struct.unpack_from("<I", region, p)[0])]
    table = names.index(b"table") + 1
    # The table's object: its class record's index, then its property block.
    classes = [struct.unpack_from("<4I", regions[0], p) for p in range(0, len(regions[0]), 16)]
    table_class = next(i for i, c in enumerate(classes) if c[1] == table)
    objects = [struct.unpack_from("<6I", regions[2], p) for p in range(0, len(regions[2]), 24)]
    table_object = next(o for o in objects if o[0] == table_class)
    block = block_starts(regions[3])[table_object[4]]
    props = {names[n - 1].decode(): v for n, k, v in (struct.unpack_from("<3I", regions[3], block + 4 + 12 * i)
                                                      for i in range(struct.unpack_from("<I", regions[3], block)[0])) if k == 1}
    value = lambda v: cells[5 + v][1]
    data, varnames = value(props["data"]), value(props["varnames"])
    date = data[1][3 + 2][1]   # the third variable, Date: a datetime's reference
    last = max(v for r in (regions[1], regions[3]) for _, k, v in values(r) if k == 1)
    names.append(b"timetable")
    regions[0] += struct.pack("<4I", 0, len(names), 0, 0)
    tt_class = len(regions[0]) // 16 - 1
    any_name = names.index(b"any") + 1
    saved_block = len(block_starts(regions[1]))
    regions[1] += struct.pack("<4I", 1, any_name, 1, last + 1)
    tt_object = len(regions[2]) // 24
    regions[2] += struct.pack("<6I", tt_class, 0, 0, saved_block, 0, tt_object)
    double = lambda x: numeric(6, [1, 1], 9, struct.pack("<d", x))
    saved = struct_of([("data", data), ("numDims", double(2)), ("dimNames", cell_of([char_row("Time"), char_row("Variables")])),
                       ("varNames", varnames), ("numRows", double(3)), ("numVars", double(5)), ("varUnits", cell_of([], [0, 0])),
                       ("rowTimes", date)])
    cells[3] = (14, [9, cells[3][1][1][:3] + [(2, metadata_of(names, regions))]])
    cells[3][1][1][1] = (5, struct.pack("<2i", len(cells[3][1][1][3][1]), 1))
    cells.insert(5 + last + 1, (14, saved))
    ref = struct.pack("<6I", 0xDD000000, 2, 1, 1, tt_object, tt_class)
    tt = [17, [(6, struct.pack("<II", 17, 0)), (1, b"tt"), (1, b"MCOS"), (1, b"timetable"),
               (14, numeric(13, [6, 1], 6, ref))]]
    write(target, header, [element(14, tt), rebuilt()])


def string_matrix(lifted, target, texts, rows):
    """TARGET: the lifted file with its Customer strings replaced by a
    matrix of `rows` rows of `texts` (column by column, None missing)."""
    header, tops = variables(lifted)
    cells, rebuilt = subsystem_cells(tops[-1])

    def change(cls, dims, t, data):
        if cls == 15 and b"J\0o\0n\0e\0s" in data:
            units = [b"" if x is None else x.encode("utf-16-le") for x in texts]
            words = [1, 2, rows, len(texts) // rows] + [2**64 - 1 if x is None else len(u) // 2 for x, u in zip(texts, units)]
            data = struct.pack("<%dQ" % len(words), *words) + b"".join(units)
            return numeric(15, [(len(data) + 7) // 8, 1], 13, data + bytes(-len(data) % 8))
    replace(cells, change)
    write(target, header, list(tops[:-1]) + [rebuilt()])


def block_starts(region):
    """Where each block of a property region starts: a count, that many triplets, padded to 8 bytes."""
    starts, pos = [], 0
    while pos + 4 <= len(region):
        starts.append(pos)
        pos += (4 + 12 * struct.unpack_from("<I", region, pos)[0] + 7) // 8 * 8
    return starts


if __name__ == "__main__":
    lift(sys.argv[1], sys.argv[2])
    if "--edge" in sys.argv:
        edge(sys.argv[2], sys.argv[2])
