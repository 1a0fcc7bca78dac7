#!/usr/bin/python3
"""The differences of structure between two MAT-files of one version, as a
loading reader sees them (docs/V73-OBJECTS.md has MATLAB's layout).

usage: h5_structure.py A.mat B.mat      each difference; exit 1 when there is one
       h5_structure.py --self-test [DIR...]

Version 7.3: each group and dataset reached from the variables and #subsystem#
(type, shape, attributes, values), references followed, never compared by
their #refs# names. Level 5: each array's class, flags, dimensions, fields and
values, compressed or not, and the subsystem data. Objects are numbered as the
walk meets them and the object metadata is compared by its sections, so that
renumbered ids compare equal. --self-test: each file of DIR (default
matlab73/ beside this file) against itself, a copy that must compare equal
(#refs# renamed and two object ids swapped; level 5 stored uncompressed) and
a copy altered on purpose.
"""
import hashlib, glob, os, re, shutil, struct, sys, tempfile, zlib

import h5py
import numpy as np

MARKER = 0xDD000000   # first word of a reference to objects
MAX_DEPTH = 64        # no MATLAB array nests deeper; a loop of references stops here
CLASSES = ('- cell struct object char sparse double single int8 uint8 int16 uint16 int32 uint32 int64 uint64 '
           'function_handle opaque').split()   # by the level-5 class code
DTYPES = {'double': 'f8', 'single': 'f4', 'int8': 'i1', 'uint8': 'u1', 'int16': 'i2', 'uint16': 'u2',
          'int32': 'i4', 'uint32': 'u4', 'int64': 'i8', 'uint64': 'u8', 'char': 'u2'}
MI = {1: 'i1', 2: 'u1', 3: 'i2', 4: 'u2', 5: 'i4', 6: 'u4', 7: 'f4', 9: 'f8', 12: 'i8', 13: 'u8',
      16: 'u1', 17: 'u2', 18: 'u4'}   # level-5 data types; 16-18 char data as UTF-8, -16, -32


def digest(values):   # the first values and a hash of all
    a = np.ascontiguousarray(values)
    return '%s %s sha1 %s' % (a.dtype.str, a.ravel()[:4].tolist(), hashlib.sha1(a.tobytes()).hexdigest()[:12])


def records(words, width):
    return [tuple(words[k:k + width]) for k in range(0, len(words) - width + 1, width)]


def blocks(words, width):   # each a count, then count records of `width` words, padded to 8 bytes
    out, i = [], 0
    while i < len(words):
        out.append(records(words[i + 1:i + 1 + width * words[i]], width))
        i += 1 + width * words[i]
        i += i % 2
    return out


class Walk:
    """The facts of one file, {path: text}; objects numbered as met."""

    def __init__(self, describe):
        self.describe = describe   # describe(walk, node, path, in_subsystem, depth)
        self.facts, self.ids, self.queue, self.done, self.values, self.blob = {}, {0: 0}, [], 0, [], b''
        self.names, self.classes, self.records, self.saved, self.props, self.dynamic = [], [], [], [], [], []

    def metadata(self, blob, e='<'):
        """Version, name count, eight region offsets (older versions leave the last ones 0),
        the names from byte 40, then the regions."""
        self.blob, (version, count) = blob, struct.unpack_from(e + 'II', blob)
        offsets = [o for o in struct.unpack_from(e + '8I', blob, 8) if o]
        bounds = offsets + [len(blob)]
        region = [list(struct.unpack_from('%s%dI' % (e, max(0, b - a) // 4), blob, a))
                  for a, b in zip(bounds, bounds[1:])]
        region += [[]] * (5 - len(region))
        self.names = [n.decode('latin-1') for n in blob[40:offsets[0] if offsets else 40].split(b'\0')[:count]]
        self.classes = [(self.name(p) + '.' if p else '') + self.name(n) for p, n, _, _ in records(region[0], 4)]
        self.records = records(region[2], 6)
        self.saved, self.props, self.dynamic = blocks(region[1], 3), blocks(region[3], 3), blocks(region[4], 1)
        self.facts['metadata'] = 'version %d, %d regions, %d objects' % (version, len(region), len(self.records) - 1)
        self.facts.update({'metadata names': ' '.join(self.names), 'metadata classes': ' '.join(self.classes)})
        self.facts.update(('metadata region %d' % r, str(region[r])) for r in range(5, len(region)))

    def name(self, index):
        return self.names[index - 1] if 0 < index <= len(self.names) else '#%d' % index

    def cls(self, index):
        return self.classes[index] if 0 <= index < len(self.classes) else 'class id %d' % index

    def objref(self, words, path):
        """A reference to objects: marker, rank, dimensions, object ids, class id."""
        n = words[1]
        dims, count = words[2:2 + n], int(np.prod(words[2:2 + n])) if n else 0
        ids, cls = words[2 + n:2 + n + count], words[2 + n + count] if len(words) == 3 + n + count else -1
        for i in ids:
            if i not in self.ids:
                self.ids[i] = len(self.ids)
                self.queue.append(i)
        self.facts[path + ' objects'] = 'dims %s %s objects %s' % (dims, self.cls(cls), [self.ids[i] for i in ids])

    def finish(self):
        """Each object met, then the subsystem cell's elements no property reached (the
        class tables come last), then the objects only those hold (in class defaults)."""
        reached = set()
        self.objects(reached)
        for k in range(1, len(self.values)):   # [0] is the metadata
            if k not in reached:
                self.describe(self, self.values[k], 'MCOS{%d}' % (k if k < 2 else k - len(self.values)), True, 1)
        self.objects(reached)

    def objects(self, reached):
        while self.done < len(self.queue):   # grows as objects are met
            oid, self.done = self.queue[self.done], self.done + 1
            key = 'object %d' % self.ids[oid]
            cls, r1, r2, saved, own, order = self.records[oid] if oid < len(self.records) else (-1, 0, 0, 0, 0, 0)
            self.facts[key] = '%s, %s, reserved %d %d, order %d' % (
                self.cls(cls), 'saved' if saved else 'own', r1, r2, order)
            table, index = (self.saved, saved) if saved else (self.props, own)
            for name, how, value in table[index] if index < len(table) else []:
                path = '%s.%s' % (key, self.name(name))
                if how == 1 and value + 2 < len(self.values):   # a value of the cell, counted from its third
                    reached.add(value + 2)
                    self.describe(self, self.values[value + 2], path, True, 1)
                else:
                    self.facts[path] = 'kind %d value %s' % (how, self.name(value) if how == 0 else value)
            held = [d[0] for d in self.dynamic[oid]] if oid < len(self.dynamic) else []
            if held:
                self.objref([MARKER, 2, 1, len(held)] + held + [0], key + ' dynamic')


def h5_type(dtype):   # byte order, kind and size; compound members; a sequence's base type
    base = h5py.check_vlen_dtype(dtype)
    return 'vlen %s' % h5_type(base) if base is not None else str(dtype.descr) if dtype.names else dtype.str


def h5_attrs(obj):
    out = []
    for k in sorted(obj.attrs):
        v = obj.attrs[k]
        if k == 'MATLAB_fields':
            v = [b''.join(x).decode('latin-1') for x in v]
        v = v.decode('latin-1') if isinstance(v, bytes) else v.tolist() if hasattr(v, 'tolist') else v
        if k == 'H5PATH':
            v = re.sub(r'/#refs#/\w+', '/#refs#/*', v)   # #refs# names may differ
        out.append('%s=%r:%s' % (k, v, h5_type(obj.attrs.get_id(k).dtype)))
    return ' '.join(out)


def h5_dataset(obj):
    return 'dataset %s %s %s' % ('ref' if obj.dtype == h5py.ref_dtype else h5_type(obj.dtype), obj.shape, h5_attrs(obj))


def h5_describe(walk, obj, path, in_subsystem, depth):
    if depth > MAX_DEPTH:
        walk.facts[path] = 'nested too deep'
    elif isinstance(obj, h5py.Group):
        walk.facts[path] = 'group %s %s' % (sorted(obj), h5_attrs(obj))
        for name in sorted(obj):
            h5_describe(walk, obj[name], path + '/' + name, in_subsystem, depth + 1)
    else:
        walk.facts[path] = h5_dataset(obj)
        value = np.asarray(obj[()])
        words = value.ravel()
        if obj.dtype == h5py.ref_dtype:
            for i, r in enumerate(words):   # C order over HDF5's reversed dimensions: MATLAB's order
                if r:
                    h5_describe(walk, obj.file[r], '%s{%d}' % (path, i), in_subsystem, depth + 1)
                else:
                    walk.facts['%s{%d}' % (path, i)] = 'null reference'
        elif (words.dtype == np.uint32 and words.size > 2 and words[0] == MARKER and
              (in_subsystem or obj.attrs.get('MATLAB_object_decode') == 3)):
            walk.objref([int(w) for w in words], path)
        else:
            walk.facts[path + ' values'] = digest(value)


def h5_facts(path):
    with h5py.File(path, 'r') as f:
        walk = Walk(h5_describe)
        walk.facts['file'] = 'userblock %d, root %s %s' % (f.userblock_size, sorted(f), h5_attrs(f))
        if '#subsystem#' in f:
            walk.facts['#subsystem#'] = 'group %s %s' % (sorted(f['#subsystem#']), h5_attrs(f['#subsystem#']))
        mcos = f.get('#subsystem#/MCOS')
        if isinstance(mcos, h5py.Dataset) and mcos.dtype == h5py.ref_dtype and mcos.size:
            walk.facts['MCOS'] = h5_dataset(mcos)
            walk.values = [f[r] for r in mcos[()].flat]
            walk.facts['MCOS{0}'] = h5_dataset(walk.values[0])
            walk.metadata(np.asarray(walk.values[0][()]).tobytes())
        if '#refs#' in f:
            refs, empty = f['#refs#'], b'canonical empty'
            walk.facts['#refs#'] = '%d objects %s, %d canonical empty' % (
                len(refs), h5_attrs(refs), sum(refs[n].attrs.get('MATLAB_class') == empty for n in refs))
        for name in sorted(n for n in f if not n.startswith('#')):
            h5_describe(walk, f[name], '/' + name, False, 0)
        walk.finish()
        return walk.facts


def l5_tag(b, at, e):   # (data type, size, where its data starts, where the next starts)
    kind, size = struct.unpack_from(e + 'II', b, at)
    if kind >> 16:   # a small element: its size in the upper half of the first word
        return kind & 0xFFFF, kind >> 16, at + 4, at + 8
    return kind, size, at + 8, at + 8 + ((size + 7) & ~7)


def l5_element(b, at, e):   # the array element at `at` (inflated), where the next starts
    kind, size, start, after = l5_tag(b, at, e)
    if kind == 15:
        return l5_element(zlib.decompress(b[start:start + size]), 0, e)[0], start + size
    if kind != 14:
        raise ValueError('element of type %d at %d' % (kind, at))
    return (l5_matrix(b[start:start + size], e) if size else {'cls': 'empty'}), after


def l5_elements(b, at, e):   # [(offset, element)] from `at` to the end of b
    out = []
    while at + 8 <= len(b):
        node, after = l5_element(b, at, e)
        out.append((at, node))
        at = after
    return out


def l5_matrix(b, e):
    parts, at = [], 0
    while at + 8 <= len(b) and l5_tag(b, at, e)[0] not in (14, 15):   # up to a container's first element
        kind, size, start, at = l5_tag(b, at, e)
        parts.append((kind, b[start:start + size]))
    word = struct.unpack_from(e + 'I', parts[0][1])[0]
    cls = CLASSES[word & 0xFF] if 0 < word & 0xFF < len(CLASSES) else 'class %d' % (word & 0xFF)
    n = {'cls': cls, 'flags': (word >> 8) & 0x0E}
    text = [raw.decode('latin-1') for _, raw in parts]
    if cls == 'opaque':   # flags, name, type system, class, then the content
        n.update(name=text[1], typesystem=text[2], classname=text[3], content=l5_element(b, at, e)[0])
        return n
    n['dims'], n['name'] = np.frombuffer(parts[1][1], e + MI[parts[1][0]]).tolist(), text[2]
    if cls in ('struct', 'object'):   # flags, dims, name, [class,] field name width, names
        n['classname'], raw = text[3] if cls == 'object' else None, parts[-1][1]
        width = int(np.frombuffer(parts[-2][1], e + MI[parts[-2][0]])[0])
        n['fields'] = [raw[i:i + width].split(b'\0')[0].decode('latin-1')
                       for i in range(0, len(raw), max(width, 1))]
    if cls in ('cell', 'struct', 'object', 'function_handle'):
        n['items'] = [item for _, item in l5_elements(b, at, e)]   # the rest of the element
        return n
    values = parts[3:]
    if cls == 'char' and values and values[0][0] in (16, 18):   # as UTF-16 code units, as MATLAB's char
        codec = 'utf-8' if values[0][0] == 16 else 'utf-32-le' if e == '<' else 'utf-32-be'
        values[0] = (4, values[0][1].decode(codec, 'surrogatepass').encode('utf-16-le', 'surrogatepass'))
        e = '<'
    # sparse: rows and column starts, then the values; MATLAB's sparse logical
    # arrays declare doubles but hold a byte each
    n['values'] = [np.frombuffer(raw, e + MI[k] if len(raw) % int(MI[k][1]) == 0 else 'u1').astype(
        'i8' if cls == 'sparse' and i < 2 else DTYPES.get(cls, 'f8')) for i, (k, raw) in enumerate(values)]
    return n


def l5_describe(walk, n, path, in_subsystem, depth):
    cls = n['cls']
    if depth > MAX_DEPTH or cls == 'empty':
        walk.facts[path] = 'nested too deep' if cls != 'empty' else 'empty element'
        return
    if cls == 'opaque':   # its content refers to objects
        walk.facts[path] = 'opaque flags %d %s %s' % (n['flags'], n['typesystem'], n['classname'])
        return l5_describe(walk, n['content'], path + ' content', True, depth + 1)
    flags = ''.join(' ' + w for bit, w in ((8, 'complex'), (4, 'global'), (2, 'logical')) if n['flags'] & bit)
    fields = n.get('fields')
    extra = (' class ' + n['classname'] if n.get('classname') else '') + (' fields %s' % fields if fields else '')
    walk.facts[path] = '%s%s dims %s%s' % (cls, flags, n['dims'], extra)
    for i, item in enumerate(n.get('items', [])):
        sub = ('%s(%d).%s' % (path, i // len(fields), fields[i % len(fields)]) if fields else
               '%s{%d}' % (path, i) if cls == 'cell' else path + ' content')
        l5_describe(walk, item, sub, in_subsystem, depth + 1)
    values = n.get('values', [])
    if cls == 'uint32' and in_subsystem and values and values[0][:1].tolist() == [MARKER]:
        walk.objref(values[0].tolist(), path)
    elif 'values' in n:
        walk.facts[path + ' values'] = ' | '.join(digest(v) for v in values)


def l5_subsystem(walk, payload):
    """The unnamed variable's bytes: a preamble, the struct of MCOS, and what follows it."""
    e = '<' if payload[2:4] == b'IM' else '>'
    parts = [part for _, part in l5_elements(payload, 8, e)]
    for k, part in enumerate(parts[1:], 1):
        l5_describe(walk, part, 'subsystem[%d]' % k, False, 0)
    top = parts[0] if parts else {'cls': 'empty'}
    walk.facts['subsystem'] = 'preamble %s, %s fields %s' % (payload[:8].hex(), top['cls'], top.get('fields'))
    wrapper = dict(zip(top.get('fields', []), top.get('items', []))).get('MCOS', {})
    cell = wrapper.get('content', {})
    walk.facts['MCOS'] = '%s %s %s dims %s' % (
        wrapper.get('cls'), wrapper.get('classname'), cell.get('cls'), cell.get('dims'))
    walk.values = cell.get('items', [])
    if walk.values and walk.values[0]['cls'] == 'uint8':
        walk.facts['MCOS{0}'] = 'uint8 dims %s' % walk.values[0]['dims']
        walk.metadata(walk.values[0]['values'][0].tobytes(), e)


def l5_walk(path):
    raw = open(path, 'rb').read()
    e = '<' if raw[126:128] == b'IM' else '>'
    walk, found = Walk(l5_describe), l5_elements(raw, 128, e)
    offset = struct.unpack_from(e + 'Q', raw, 116)[0]
    walk.facts['file'] = 'version %s, subsystem data at variable %s, variables %s' % (
        raw[124:126].hex(), [i for i, (at, _) in enumerate(found) if at == offset], [n.get('name') for _, n in found])
    for _, node in found:
        if node.get('name') == '' and node['cls'] == 'uint8' and node['values']:
            l5_subsystem(walk, node['values'][0].tobytes())
    for _, node in found:
        if node.get('name'):
            l5_describe(walk, node, '/' + node['name'], False, 0)
    walk.finish()
    return walk


def is_hdf5(path):
    return open(path, 'rb').read(520)[512:] == b'\x89HDF\r\n\x1a\n'


def differences(a, b):
    """Lines naming each path whose facts differ between the files a and b."""
    fa, fb = (h5_facts(p) if is_hdf5(p) else l5_walk(p).facts for p in (a, b))
    return ['%s:\n  A %s\n  B %s' % (key, fa.get(key, '(none)'), fb.get(key, '(none)'))
            for key in sorted(set(fa) | set(fb)) if fa.get(key) != fb.get(key)]


def h5_copies(path, same, altered):
    """`same`: #refs# renamed, objects 1 and n swapped; `altered`: what must be found."""
    shutil.copyfile(path, same)
    with h5py.File(same, 'r+') as f:
        for name in list(f.get('#refs#', [])):
            f.move('#refs#/' + name, '#refs#/renamed_' + name)
        if '#subsystem#' in f:
            meta = f[f['#subsystem#/MCOS'][()].flat[0]]
            blob = meta[()].ravel()
            start, end = struct.unpack_from('<2I', blob, 16)   # the object records, 24 bytes each
            last = max(1, (end - start) // 24 - 1)
            one, other = start + 24, start + 24 * last
            blob[one:one + 24], blob[other:other + 24] = blob[other:other + 24].copy(), blob[one:one + 24].copy()
            meta[...] = blob.reshape(meta.shape)

            def renumber(_, obj):   # every reference to objects, in variables and in #refs#
                words = obj[()].ravel() if isinstance(obj, h5py.Dataset) and obj.dtype == np.uint32 else [0]
                if words[0] == MARKER:
                    ids = slice(2 + words[1], 2 + words[1] + int(np.prod(words[2:2 + words[1]])))
                    words[ids] = [{1: last, last: 1}.get(int(w), w) for w in words[ids]]
                    obj[...] = words.reshape(obj.shape)
            f.visititems(renumber)
    shutil.copyfile(path, altered)
    with h5py.File(altered, 'r+') as f:
        first = sorted(n for n in f if not n.startswith('#'))[0]
        f[first].attrs['MATLAB_global'] = np.uint8(1)
        blob = f[f['#subsystem#/MCOS'][()].flat[0]][()].tobytes() if '#subsystem#' in f else b''
    return ['/' + first], blob


def l5_copies(path, same, altered):
    """`same`: stored uncompressed; `altered`: that changed, and what must be found."""
    raw = open(path, 'rb').read()
    if raw[126:128] != b'IM':
        raise ValueError('big-endian files are not altered here')
    out, at, offset = bytearray(raw[:128]), 128, struct.unpack_from('<Q', raw, 116)[0]
    while at + 8 <= len(raw):
        kind, size, start, after = l5_tag(raw, at, '<')
        if at == offset:
            struct.pack_into('<Q', out, 116, len(out))
        out += zlib.decompress(raw[start:start + size]) if kind == 15 else raw[at:after]
        at = start + size if kind == 15 else after
    open(same, 'wb').write(out)
    out[128 + 17] |= 0x04   # the global flag in the first variable's array flags
    open(altered, 'wb').write(out)
    return ['/' + l5_element(bytes(out), 128, '<')[0]['name']], l5_walk(same).blob


def self_test(folders):
    files = sorted(p for d in folders for p in glob.glob(os.path.join(d, '*.mat')))
    problems, tmp = [], tempfile.mkdtemp()
    try:
        for path in files:
            name = os.path.basename(path)
            same, altered = os.path.join(tmp, 'same-' + name), os.path.join(tmp, 'altered-' + name)
            expect, blob = (h5_copies if is_hdf5(path) else l5_copies)(path, same, altered)
            if blob:   # the first metadata name's first letter in the other case (version 7.3
                data = bytearray(open(altered, 'rb').read())   # keeps it as it is, in a header)
                data[data.find(blob) + 40] ^= 0x20
                open(altered, 'wb').write(data)
                expect.append('metadata names')
            for other in (path, same):
                problems += ['%s against %s: %s' % (name, os.path.basename(other), d) for d in differences(path, other)]
            found = differences(path, altered)
            problems += ['%s: the alteration of %s not found' % (name, w)
                         for w in expect if not any(line.startswith(w + ':') for line in found)]
    finally:
        shutil.rmtree(tmp)
    print('\n'.join(['FAIL ' + line for line in problems] +
                    ['self-test: checked %d files, %d problems' % (len(files), len(problems))]))
    return 1 if problems or not files else 0


def main(argv):
    if argv[:1] == ['--self-test']:
        return self_test(argv[1:] or [os.path.join(os.path.dirname(os.path.abspath(__file__)), 'matlab73')])
    if len(argv) != 2 or argv[0].startswith('-'):
        return print(__doc__) or 2
    found = differences(*argv)
    print('\n'.join(found + ['%d differences' % len(found)]))
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
