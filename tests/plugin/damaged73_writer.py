"""Writes DIR/damaged.mat, a version 7.3 MAT-file (laid out as MATLAB writes
one) whose variables are sound (names starting "good") or each damaged one
way, the damage made in the file's bytes after h5py wrote it:
  cut        a deflated chunk whose second half is zeros
  sum        a fletcher32 chunk with one data byte changed
  irRange    a sparse row index past its rows
  irOrder    a sparse column whose rows fall
  jcFall     sparse column starts that fall
  irShort    a sparse matrix with fewer row indexes than values
  dangling   a cell whose second reference points into the middle of a dataset's data
  emptyDims  an empty array (MATLAB_empty) whose stored dimensions hold 12 elements
  fieldShape a 1x2 struct array with a field of 3 references
  sumFill    a 2^24-value fletcher32 dataset of one written chunk, a data byte of it changed
and goodFill, a 2^24-value double never written (every chunk its fill value).

Usage: /usr/bin/python3 damaged73_writer.py DIR
"""
import os, struct, sys
import h5py, numpy as np

path = os.path.join(sys.argv[1], 'damaged.mat')
BASE = 512   # the user block: HDF5 addresses count from its end
patches = []   # (absolute offset, new bytes)


def cls(obj, name='double'):
    obj.attrs['MATLAB_class'] = np.bytes_(name)
    return obj


def sparse(f, name, ir, jc, data=(1, 2, 3)):
    g = cls(f.create_group(name))
    g.attrs['MATLAB_sparse'] = np.uint64(4)
    g['data'], g['ir'], g['jc'] = np.asarray(data, float), np.asarray(ir, np.uint64), np.asarray(jc, np.uint64)


def refs(f, name, *rows):
    return f.create_dataset(name, data=np.array([[r.ref for r in row] for row in rows], dtype=h5py.ref_dtype))


def chunk_at(d, index):
    return d.id.get_chunk_info(index).byte_offset + BASE, d.id.get_chunk_info(index).size


with h5py.File(path, 'w', userblock_size=BASE) as f:
    values = np.arange(600.0).reshape(30, 20)   # a 20x30 double in MATLAB
    cls(f.create_dataset('good', data=values, chunks=(10, 10), compression='gzip', fletcher32=True))
    a = cls(f.create_dataset('#refs#/a', data=np.arange(4.0).reshape(4, 1)))
    b = cls(f.create_dataset('#refs#/b', data=np.frombuffer('hi'.encode('utf-16-le'), '<u2').reshape(2, 1)), 'char')
    cls(refs(f, 'goodCell', [a], [b]), 'cell')
    sparse(f, 'goodSparse', [0, 3, 1], [0, 2, 2, 3])
    s = cls(f.create_group('goodStruct'), 'struct')
    s['x'] = np.array([[1.0, 2.0]])
    cls(s['x'])

    at, size = chunk_at(cls(f.create_dataset('cut', data=values, chunks=(10, 10), compression='gzip')), 1)
    patches.append((at + size // 2, b'\0' * (size - size // 2)))
    at, size = chunk_at(cls(f.create_dataset('sum', data=values, chunks=(10, 10), fletcher32=True)), 2)
    patches.append((at + 8, b'\x55'))

    # More values than the stored bytes could make: the chunks never written are the fill value.
    cls(f.create_dataset('goodFill', shape=(1, 2**24), dtype='f8', chunks=(1, 2**16), fillvalue=0))
    d = cls(f.create_dataset('sumFill', shape=(1, 2**24), dtype='f8', chunks=(1, 2**16), fillvalue=0, fletcher32=True))
    d[0, 2**20:2**20 + 10] = np.arange(10.0)
    at, size = chunk_at(d, 0)
    patches.append((at + 8, b'\x55'))

    sparse(f, 'irRange', [0, 4, 1], [0, 2, 2, 3])
    sparse(f, 'irOrder', [3, 0, 1], [0, 2, 2, 3])
    sparse(f, 'jcFall', [0, 3, 1], [0, 2, 1, 3])
    sparse(f, 'irShort', [0, 3], [0, 2, 2, 2])

    c = cls(refs(f, 'dangling', [a], [b]), 'cell')
    # The second reference: an address inside the good variable's first chunk.
    patches.append((c.id.get_offset() + 8, struct.pack('<Q', f['good'].id.get_chunk_info(0).byte_offset + 16)))

    cls(f.create_dataset('emptyDims', data=np.array([3, 4], np.uint64))).attrs['MATLAB_empty'] = np.uint8(1)

    t = cls(f.create_group('fieldShape'), 'struct')
    refs(t, 'p', [a, b])
    refs(t, 'q', [a, b, a])
    fields = np.empty(2, dtype=object)
    fields[0], fields[1] = np.array([b'p'], 'S1'), np.array([b'q'], 'S1')
    t.attrs.create('MATLAB_fields', fields, dtype=h5py.vlen_dtype(np.dtype('S1')))

with open(path, 'r+b') as f:
    f.write(b'MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Jan  1 00:00:00 2024 HDF5 schema 1.00 .'.ljust(116)
            + b'\0' * 8 + b'\x00\x02IM')
    for at, data in patches:
        f.seek(at)
        f.write(data)
