# Judges what the interop suite did with the files other programs wrote
# (scipy.io, matio, Octave, MATLAB). Reads the suite's manifest (argument 1),
# prints one "FAIL ..." line per disagreement and a summary line; exits 0.
# The listing is judged against the .json beside each file (an independent
# header walker); values, extraction and deletion against scipy, or for a
# version 7.3 (HDF5) file against h5py and matio; extraction and deletion
# also byte for byte by level-5 element; a version 7.3 file's viewer texts
# against those of its level-5 twin (v73.mat -> v5.mat).
import collections
import json
import os
import struct
import subprocess
import sys
import warnings
import zlib

import h5py
import numpy as np
import scipy.io as sio
import scipy.sparse as sp

from matvalues import BUILTIN, h5_array, h5_class, hdf5, layout, load, matlab_dims, plain_differences

warnings.simplefilter('ignore')
fails, counts = [], collections.Counter()
fail = fails.append


# ---- what the listing must say, from the .json walker ----------------------

def listed_name(raw, occurrence):
    if raw == b'':
        text = '%__function_workspace__'
    else:
        text = ''.join(chr(b) if chr(b).isascii() and (chr(b).isalnum() or b == 95) else '%%%02X' % b
                       for b in raw)
    return text + ('%%#%d' % occurrence if occurrence > 1 else '')


def expected_listing(mat):
    """[(name prefix, class text or None, dims text, complex)] or None when not walkable."""
    path = mat[:-4] + '.json'
    if not os.path.exists(path):
        return None
    d = json.load(open(path, encoding='utf-8'))
    if 'error' in d or 'variables' not in d or os.path.basename(mat) == 'bad_miuint32.mat':
        return None
    seen, out = {}, []
    for v in d['variables']:
        try:
            raw = v['name'].encode('latin1')
        except UnicodeEncodeError:
            raw = v['name'].encode('utf-8')
        seen[raw] = seen.get(raw, 0) + 1
        cls = {'object': v.get('classname'), 'opaque': None}.get(v['class'], v['class'])
        if cls is not None:
            cls = cls.upper() if v['global'] else cls.lower()
        # version 4 keeps a complex sparse matrix in four columns
        complex_ = v['complex'] or (v.get('sparse') and v.get('stored_dims', [0, 0])[1] == 4)
        out.append((listed_name(raw, seen[raw]), cls, 'x'.join(str(x) for x in reversed(v['dims'])), complex_))
    return out


# ---- h5py's view of a version 7.3 file ----------------------------------------

def h5_variables(path):
    """[(name, h5py object, class, MATLAB dims)] in the order of their names."""
    out = []
    f = h5py.File(path, 'r')
    for name in sorted(f.keys(), key=lambda k: k.encode()):
        if name.startswith('#'):
            continue
        obj = f[name]
        a, cls = obj.attrs, h5_class(obj)
        if 'MATLAB_sparse' in a:
            dims = [int(a['MATLAB_sparse']), len(obj['jc']) - 1]
        elif isinstance(obj, h5py.Group):
            refs = [c for c in obj.values() if isinstance(c, h5py.Dataset) and c.dtype == h5py.ref_dtype
                    and 'MATLAB_class' not in c.attrs]
            dims = matlab_dims(refs[0].shape) if refs else [1, 1]
        elif a.get('MATLAB_empty', 0):
            dims = [int(x) for x in obj[()]]   # the dimensions in MATLAB's order
        elif cls not in BUILTIN and obj.dtype == np.uint32 and obj.size >= 4 and obj[()].flat[0] == 0xDD000000:
            meta = obj[()].flatten()
            dims = [int(x) for x in meta[2:2 + meta[1]]]
        else:
            dims = matlab_dims(obj.shape)
        out.append((name, obj, cls, dims))
    return out


def h5_complex(obj):
    data = obj['data'] if isinstance(obj, h5py.Group) and 'data' in obj else obj
    return isinstance(data, h5py.Dataset) and data.dtype.names == ('real', 'imag')


def h5_listing(path):
    out = []
    for name, obj, cls, dims in h5_variables(path):
        text = None if cls is None else cls.upper() if obj.attrs.get('MATLAB_global', 0) else cls.lower()
        out.append((listed_name(name.encode(), 1), text, 'x'.join(str(x) for x in reversed(dims)), h5_complex(obj)))
    return out


def h5_values(path):
    """name -> the values line, as scipy_values gives it for a level-5 file."""
    out = {}
    for name, obj, cls, dims in h5_variables(path):
        sparse = 'MATLAB_sparse' in obj.attrs
        data = obj['data'] if sparse and 'data' in obj else obj
        out[name] = ''
        if not isinstance(data, h5py.Dataset) or obj.attrs.get('MATLAB_empty', 0) or cls not in BUILTIN[:12]:
            pass
        elif cls == 'char':
            if dims[0] == 1:
                out[name] = escaped(data[()].astype('<u2').tobytes().decode('utf-16-le', 'replace'))
        else:
            flat = h5_array(data).flatten('F')
            out[name] = numbers_line(flat.astype(float) if sparse and flat.dtype.kind != 'c' else flat)
    return out


def matdump(path, name):
    """matio's text of one variable (matdump -d), or None when matio cannot read it."""
    try:
        run = subprocess.run(['matdump', '-d', path, name], capture_output=True, timeout=60)
    except OSError:
        return None
    failed = run.returncode != 0 or run.stderr or b'error' in run.stdout or b"Couldn't find" in run.stdout
    return None if failed else run.stdout


def h5_reached(f, start):
    """The paths of the objects that `start` reaches through references (itself included)."""
    seen, todo = set(), [start]
    while todo:
        obj = todo.pop()
        if obj.name in seen:
            continue
        seen.add(obj.name)
        if isinstance(obj, h5py.Group):
            todo.extend(obj.values())
        elif obj.dtype == h5py.ref_dtype:
            todo.extend(f[r] for r in obj[()].flat if r)
    return seen


def h5_kept_fails(src, out, kept):
    """Why the version 7.3 file `out` does not hold just the variables `kept`
    of `src`, or None: each the same to h5py and to matio, nothing left that
    only other variables used."""
    with h5py.File(src, 'r') as i, h5py.File(out, 'r') as o:
        if sorted(k for k in o if not k.startswith('#')) != sorted(kept):
            return 'variables %s, expected %s' % (sorted(o), sorted(kept))
        bad = [k for k in kept if layout(i, i[k]) != layout(o, o[k])]
        if bad:
            return 'h5py reads other values of %s' % bad
        reached = set()
        for k in kept + (['#subsystem#'] if '#subsystem#' in o else []):
            reached |= h5_reached(o, o[k])
        stale = [x.name for x in o['#refs#'].values() if x.name not in reached] if '#refs#' in o else []
        if stale:
            return 'left behind: %s' % stale
    # matio 1.5.23 fails on some files that hdf5storage writes (a struct
    # there stops its walk): a variable it cannot read in the source is not judged.
    bad = [k for k in kept if matdump(src, k) is not None and matdump(src, k) != matdump(out, k)]
    return 'matio reads other values of %s' % bad if bad else None


# ---- scipy's view -----------------------------------------------------------

def fmt(values):
    return ' '.join('%.17g' % x for x in values[:16])


def numbers_line(flat):
    """The engine's values line of numbers in MATLAB's order."""
    if np.iscomplexobj(flat):
        return fmt(flat.real) + ' | ' + fmt(flat.imag)
    return ' '.join(str(int(e)) for e in flat[:16]) if flat.dtype.kind in 'iub' else fmt(flat)


def escaped(text):
    return text.replace('\\', '\\\\').replace('\n', '\\n').replace('\t', '\\t')


def scipy_values(path):
    """name -> the values line as the suite writes the engine's, or None."""
    try:
        info = sio.whosmat(path)
        data = sio.loadmat(path, chars_as_strings=True, squeeze_me=False)
    except Exception:
        return None
    out = {}
    for name, _, cls in info:
        x = data.get(name)
        text = ''
        if sp.issparse(x):
            x = x.tocsc()
            text = fmt(list(np.real(x.data)) + (list(np.imag(x.data)) if np.iscomplexobj(x.data) else []))
        elif cls == 'char' and x is not None and x.size == 1:
            text = escaped(str(x.flat[0]))
        elif cls in BUILTIN[:11] and x is not None and x.dtype != object:
            text = numbers_line(x.flatten(order='F'))
        out['' if name == '__function_workspace__' else name] = text
    return out


def same(a, b, strict_type):
    if sp.issparse(a) or sp.issparse(b):
        return sp.issparse(a) and sp.issparse(b) and a.shape == b.shape and (a != b).nnz == 0
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        if strict_type and (type(a) != type(b) or a.dtype != b.dtype):
            return False
        if a.shape != b.shape:
            return False
        if a.dtype.names:
            return b.dtype.names == a.dtype.names and all(same(a[n], b[n], strict_type) for n in a.dtype.names)
        if a.dtype == object:
            return all(same(x, y, strict_type) for x, y in zip(a.flat, b.flat))
        if not strict_type and a.dtype.kind in 'iufcb' and b.dtype.kind in 'iufcb':
            return np.array_equal(a.astype(complex), b.astype(complex))   # version 4 loads as double
        return np.array_equal(a, b, equal_nan=a.dtype.kind in 'fc')
    return type(a) == type(b) and repr(a) == repr(b)


def user_keys(d):
    return {k for k in d if not k.startswith('__')}


def scipy_fails(a, out, keys, strict):
    """Why scipy does not read from `out` just the variables `keys`, those of
    them in `a` (scipy's of the source) as they are there; or None."""
    b = load(out)
    if not isinstance(b, dict):
        return 'scipy cannot read it: %s' % b
    if user_keys(b) != keys or not all(same(a[k], b[k], strict) for k in keys if k in a):
        return 'scipy reads other values'
    return None


# ---- level-5 elements ---------------------------------------------------------

def level5(data):
    return len(data) >= 128 and data[124:126] in (b'\x00\x01', b'\x01\x00') and data[126:128] in (b'IM', b'MI')


def elements(data):
    """[(offset, bytes)] of the top-level elements (compressed ones unpadded)."""
    order = '<' if data[126:128] == b'IM' else '>'
    pos, out = 128, []
    while pos + 8 <= len(data):
        kind, size = struct.unpack(order + 'II', data[pos:pos + 8])
        end = pos + 8 + size
        if kind != 15:
            end = (end + 7) // 8 * 8
        out.append((pos, data[pos:min(end, len(data))]))
        pos = end
    return out


def top_class(element, data):
    """The array class of a top-level element (16 function handle, 17 object)."""
    order = '<' if data[126:128] == b'IM' else '>'
    if struct.unpack(order + 'I', element[:4])[0] == 15:
        element = zlib.decompressobj().decompress(element[8:], 32)
    return element[16 + (3 if order == '>' else 0)] if len(element) >= 24 else 0


def subsystem_offset(data):
    return struct.unpack(('<' if data[126:128] == b'IM' else '>') + 'Q', data[116:124])[0]


# ---- the manifest -------------------------------------------------------------

listing, values, sources = {}, {}, {}
extracts, deletes, views, contents, adds, converted_from = [], [], {}, {}, [], {}
for line in open(sys.argv[1], encoding='utf-8'):
    f = line.rstrip('\n').split('\t')
    if f[0] == 'list':
        listing.setdefault(f[1], {'entries': []})['entries'].append((f[3], int(f[4])))
    elif f[0] == 'listend':
        listing.setdefault(f[1], {'entries': []}).update(count=int(f[2]), last=int(f[3]))
    elif f[0] == 'value':
        values.setdefault(f[1], {}).setdefault(f[2], f[3])
    elif f[0] == 'extract':
        extracts.append((f[1], int(f[2]), f[3], int(f[4]), f[5]))
    elif f[0] in ('view', 'contents'):
        (views if f[0] == 'view' else contents).setdefault(f[1], {})[f[2]] = f[3]
    elif f[0] == 'add':
        adds.append((f[1], f[2], int(f[3]), f[4], int(f[5])))
    elif f[0] == 'converted':
        converted_from[f[1]] = f[2]
    elif f[0] == 'delete':
        deletes.append((f[1], f[2], int(f[3]), [int(i) for i in f[4].split(',')]))


def source(path):
    return sources.setdefault(path, open(path, 'rb').read())


for mat, got in sorted(listing.items()):
    want = h5_listing(mat) if hdf5(mat) else expected_listing(mat)
    if want is None:
        if got.get('count', -1) >= 0 and got.get('last') not in (10, 18):   # E_END_ARCHIVE, E_EREAD
            fail('%s: listing of a damaged file ended with %s' % (mat, got.get('last')))
        continue
    counts['listed'] += 1
    entries = got['entries']
    if got.get('count') != len(want) or len(entries) != len(want) or got.get('last') != 10:
        fail('%s: %d entries listed (count %s, end %s), the walker has %d'
             % (mat, len(entries), got.get('count'), got.get('last'), len(want)))
        continue
    for (name, attr), (prefix, cls, dims, complex_) in zip(entries, want):
        tail = ' [%s] ' % dims
        if not (name == prefix + '.' + cls + tail if cls is not None else name.startswith(prefix + '.') and name.endswith(tail)):
            fail('%s: listed %r, expected %s.%s%s' % (mat, name, prefix, cls, tail))
        if attr != (0o100444 if complex_ else 0o100644):   # a complex variable is read-only
            fail('%s: %r has FileAttr %o' % (mat, name, attr))

# matio 1.5 declares a compressed char array's size for UTF-16 data but
# writes UTF-8: the element is 8 bytes shorter than it says, and the engine
# refuses its text.
KNOWN = {('matio/v5_compressed.mat', 'm_char')}

for mat, engine in sorted(values.items()):
    theirs = h5_values(mat) if hdf5(mat) else scipy_values(mat)
    if theirs is None:
        continue   # scipy cannot read it either
    for name, text in theirs.items():
        if name not in engine:
            fail('%s: the engine does not read %r' % (mat, name))
        elif text and engine[name] != text and ('/'.join(mat.split('/')[-2:]), name) not in KNOWN:
            fail('%s: %r reads %r, scipy %r' % (mat, name, engine[name], text))
        else:
            counts['values'] += 1

for src, index, entry, result, out in extracts:
    data = source(src)
    what = '%s entry %d %r' % (src, index, entry)
    name = entry.split('.')[0]
    got = load(src, name) if '%' not in name else None
    expected = got.get(name) if isinstance(got, dict) else None
    handle = '.function_handle ' in entry
    if result != 0:
        if expected is not None or hdf5(src):
            fail('%s: ProcessFile gave %d for a variable scipy or h5py reads' % (what, result))
        continue
    counts['extracted'] += 1
    if level5(data) and not handle:
        mine, theirs = elements(open(out, 'rb').read()), elements(data)
        if len(mine) != 1 or index >= len(theirs) or mine[0][1] != theirs[index][1]:
            fail('%s: the output is not the source element' % what)
    if hdf5(src) and not handle:
        head = open(out, 'rb').read(128)
        if not hdf5(out) or head[124:128] != b'\x00\x02IM' or not head.startswith(b'MATLAB 7.3 MAT-file'):
            why = 'no version 7.3 file'
        else:
            why = h5_kept_fails(src, out, [name]) if '%' not in name else None
        if why:
            fail('%s: the version 7.3 copy is wrong: %s' % (what, why))
        continue
    if handle:
        # A function handle is copied whole (with the subsystem data of its
        # workspace): the new file holds it under its own name.
        out_vars = load(out)
        if expected is not None and not isinstance(out_vars, dict):
            fail('%s: scipy cannot read the output: %s' % (what, out_vars))
        elif expected is not None and name not in user_keys(out_vars):
            fail('%s: the function handle is not in the output: %s' % (what, sorted(user_keys(out_vars))))
    elif expected is not None and (why := scipy_fails(got, out, {name}, level5(data))):
        fail('%s: %s' % (what, why))

# A version 7.3 file lists and shows as its level-5 twin with the same values
# does: the same entries (but for their order and a global's case), the same
# texts, with and without the contents of structs and cells.
def text_of(path):
    return open(path, 'rb').read().split(b'\n', 1)[1:]


for kind, shown in (('twins', views), ('contents', contents)):
    for mat, texts in sorted(shown.items()):
        # a version 7.3 file, or a level-5 file converted from one
        original = converted_from.get(mat, mat)
        twin = os.path.join(os.path.dirname(original), 'v5.mat')
        if not hdf5(original) or os.path.basename(original) != 'v73.mat' or twin not in shown:
            continue
        counts[kind] += 1
        by_name = {e.split('.')[0]: (e, path) for e, path in shown[twin].items()}
        for entry, path in texts.items():
            if mat in converted_from and entry.startswith('%__function_workspace__'):
                continue   # the subsystem data of another writer, whose values the texts show
            other, other_path = by_name.get(entry.split('.')[0], (None, None))
            if other is None or other.lower() != entry.lower():
                fail('%s: %r listed, its level-5 twin has %r' % (mat, entry, other))
            elif text_of(path) != text_of(other_path):
                fail('%s: %r shows another %s text than in %s' % (mat, entry, kind, twin))

# Lines the contents texts must hold, which the twins could both get wrong.
CONTENTS_LINES = [('matio/v73.mat', 'm_cell', b"\t  {3} = sparse [4x3]\n\t  {4} = double [0x3]\n"),
                  ('hdf5storage/v73.mat', 'h_mixed', b"\t  {3} = int64 [1x1] = -9223372036854775808\n")]
for mat, name, line in CONTENTS_LINES:
    for path, texts in contents.items():
        for entry, text_path in texts.items():
            if path.endswith('/' + mat) and entry.startswith(name + '.') and line not in open(text_path, 'rb').read():
                fail('%s: %r does not show %r' % (mat, entry, line))

for src, copy, result, gone in deletes:
    if result != 0:
        fail('%s: deleting entries %s gave %d' % (src, gone, result))
        continue
    counts['deleted'] += 1
    names = [e[0] for e in listing.get(src, {'entries': []})['entries']]
    gone_names = {names[i].split('.')[0] for i in gone if i < len(names)}
    if hdf5(src):
        with h5py.File(src, 'r') as f:
            kept = [k for k in f if not k.startswith('#') and k not in gone_names]
        why = 'the header changed' if open(copy, 'rb').read(128) != source(src)[:128] else \
            'grew from %d to %d bytes' % (len(source(src)), os.path.getsize(copy)) \
            if os.path.getsize(copy) >= len(source(src)) else h5_kept_fails(src, copy, kept)
        if why:
            fail('%s: deleting entries %s: %s' % (src, gone, why))
        continue
    before, after = source(src), open(copy, 'rb').read()
    if level5(before):
        if after[:116] != before[:116] or after[124:128] != before[124:128]:
            fail('%s: the header changed' % src)
        kept = [e for i, e in enumerate(elements(before)) if i not in gone]
        left = elements(after)
        # The subsystem data goes with the last variables that refer to it.
        alone = [e for e in kept if e[0] != subsystem_offset(before)]
        if len(alone) == len(left) < len(kept) and not any(top_class(b, before) in (16, 17) for _, b in alone):
            kept = alone
        if [b for _, b in left] != [b for _, b in kept]:
            fail('%s: the remaining elements are not the old ones' % src)
        for (old_at, _), (new_at, _) in zip(kept, left):
            if subsystem_offset(before) == old_at and subsystem_offset(after) != new_at:
                fail('%s: the function workspace offset did not follow its element' % src)
    a = load(src)
    why = scipy_fails(a, copy, user_keys(a) - gone_names, True) if isinstance(a, dict) else None
    if why:
        fail('%s: after deleting entries %s, %s' % (src, gone, why))

# Adding a whole file: a new file and an existing one (which keeps its own
# variable) read back with the source's values; a version 7.3 file is
# converted; a damaged one or (into the little-endian file) a big-endian one is refused.
def converted_fails(src, out):
    """Why scipy's values of the converted file differ from h5py's of the source; None when equal."""
    b = load(out, chars_as_strings=False)
    twin = load(os.path.join(os.path.dirname(src), 'v5.mat'), chars_as_strings=False)
    if not isinstance(b, dict) and not isinstance(twin, dict) and str(b) == str(twin):
        return None   # scipy cannot read MATLAB's own level-5 file either (UTF-16 beyond 16 bits)
    if not isinstance(b, dict):
        return 'scipy cannot read it: %s' % b
    # scipy names no object variable (of MATLAB's files either): their texts are compared
    wrong = plain_differences(b, src, [name for name, _, cls, _ in h5_variables(src) if cls in BUILTIN])
    return wrong[0] if wrong else None


for src, made, made_result, grown, grown_result in adds:
    data = source(src)
    a = load(src)
    if hdf5(src):
        for out, result in ((made, made_result), (grown, grown_result)):
            why = 'adding it gave %d' % result if result != 0 else converted_fails(src, out)
            if why is not None:
                fail('%s converted into %s: %s' % (src, out, why))
            else:
                counts['converted'] += 1
        continue
    if not isinstance(a, dict):
        continue   # scipy cannot read it either
    for out, result, own in ((made, made_result, set()), (grown, grown_result, {'zz_existing'})):
        if result != 0:
            if expected_listing(src) is not None and not (own and data[126:128] == b'MI'):
                fail('%s: adding it to %s gave %d' % (src, out, result))
            continue
        counts['added'] += 1
        why = scipy_fails(a, out, user_keys(a) | own, level5(data))
        if why:
            fail('%s added to %s: %s' % (src, out, why))

for text in fails:
    print('FAIL ' + text)
print('checked ' + ', '.join('%s %d' % kv for kv in sorted(counts.items())))
