"""Writes DIR/hostile.mat, a version 7.3 MAT-file whose variables point
outside it: P (external storage in DIR/secret), F (external storage in the
FIFO DIR/fifo), V (a virtual dataset of DIR/other.h5), S (a struct whose
field is an external link into DIR/other.h5), and good, a 3x1 double kept
inside. Both outside files hold the UTF-16 text PASSWORD.

Also DIR/damaged.mat and DIR/damaged_latest.mat (HDF5's earliest and latest
formats: a version 1 B-tree of chunks, a later index), whose chunks decode
to less or more than a chunk: short (a deflate stream of 16 bytes for a
64-byte chunk), long (one of 128 bytes) and, in the first, raw (an
unfiltered chunk whose index says 56 bytes); beside good (a 3x1 double) and
sound (the same chunks undamaged), read as ever.

And DIR/fill.mat: F, a 1x2^40 double never written (its chunks all its
fill value: a few KB of file, terabytes as text or NPY).

Also DIR/deep.mat: s, a struct nested 3000 deep (field a in each), and x, a
3x1 double.

And DIR/links.mat: the 1x3 doubles a and b, a soft link s to /a and an
external link e to /x of other.h5 (links of the file's own, no variables);
DIR/refslink.mat: the same and a soft link r into #refs#.

Usage: /usr/bin/python3 hostile73_writer.py DIR
"""
import os, struct, sys, zlib, h5py, numpy as np
d = sys.argv[1]
header = (b'MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Jan  1 00:00:00 2024 HDF5 schema 1.00 .'.ljust(116)
          + b'\0' * 8 + b'\x00\x02IM')
other = os.path.join(d, 'other.h5')
secret = 'PASSWORD'.encode('utf-16-le')
with h5py.File(other, 'w') as o:
    o['x'] = np.frombuffer(secret, '<u2').reshape(8, 1)
os.mkfifo(os.path.join(d, 'fifo'))
path = os.path.join(d, 'hostile.mat')
with h5py.File(path, 'w', userblock_size=512) as f:
    def char(name, external):
        # No fill value is written: nothing of the outside file is touched.
        create = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
        create.set_fill_time(h5py.h5d.FILL_TIME_NEVER)
        create.set_external(external.encode(), 0, 16)
        h5py.h5d.create(f.id, name.encode(), h5py.h5t.STD_U16LE, h5py.h5s.create_simple((8, 1)), create)
        f[name].attrs['MATLAB_class'] = np.bytes_('char')
    f['good'] = np.arange(3.0).reshape(3, 1)
    f['good'].attrs['MATLAB_class'] = np.bytes_('double')
    char('P', os.path.join(d, 'secret'))
    char('F', os.path.join(d, 'fifo'))
    layout = h5py.VirtualLayout((8, 1), '<u2')
    layout[:] = h5py.VirtualSource(other, 'x', shape=(8, 1))
    f.create_virtual_dataset('V', layout).attrs['MATLAB_class'] = np.bytes_('char')
    s = f.create_group('S')
    s.attrs['MATLAB_class'] = np.bytes_('struct')
    fields = np.empty(1, dtype=object)
    fields[0] = np.array([b'a'], 'S1')
    s.attrs.create('MATLAB_fields', fields, dtype=h5py.vlen_dtype(np.dtype('S1')))
    s['a'] = h5py.ExternalLink(other, 'x')
with open(os.path.join(d, 'secret'), 'wb') as s:
    s.write(secret)
with open(path, 'r+b') as f:
    f.write(header)
values = np.arange(1, 9, dtype='<u8').reshape(4, 2)
for name, libver in (('damaged.mat', 'earliest'), ('damaged_latest.mat', 'latest')):
    path = os.path.join(d, name)
    damaged = (('short', 'gzip'), ('long', 'gzip')) + ((('raw', None),) if libver == 'earliest' else ())
    with h5py.File(path, 'w', userblock_size=512, libver=libver) as f:
        f['good'] = np.arange(3.0).reshape(3, 1)
        f['good'].attrs['MATLAB_class'] = np.bytes_('double')
        for var, compression in damaged + (('sound', 'gzip'),):
            f.create_dataset(var, data=values, chunks=(4, 2), compression=compression)
            f[var].attrs['MATLAB_class'] = np.bytes_('uint64')
        chunks = {var: f[var].id.get_chunk_info(0) for var, _ in damaged}
    data = bytearray(open(path, 'rb').read())
    for var, size in (('short', 16), ('long', 128)):
        stream = zlib.compress(bytes(size), 9)
        at = 512 + chunks[var].byte_offset
        assert len(stream) <= chunks[var].size
        data[at:at + len(stream)] = stream
    if 'raw' in chunks:
        # The raw chunk's B-tree leaf: "TREE", type 1, level 0, one entry; its
        # key holds the chunk's size (64) before the chunk's address.
        leaf = struct.pack('<4sBBH', b'TREE', 1, 0, 1)
        at = data.find(leaf)
        while at >= 0:
            key = at + 8 + 16
            if (struct.unpack_from('<I', data, key)[0] == 64 and
                    struct.unpack_from('<Q', data, key + 8 + 3 * 8)[0] == chunks['raw'].byte_offset):
                struct.pack_into('<I', data, key, 56)
                break
            at = data.find(leaf, at + 1)
        assert at >= 0, 'no B-tree leaf of the raw chunk'
    data[:128] = header
    open(path, 'wb').write(bytes(data))
path = os.path.join(d, 'fill.mat')
with h5py.File(path, 'w', userblock_size=512) as f:
    f.create_dataset('F', shape=(2**40, 1), dtype='<f8', chunks=(2**20, 1), fillvalue=0.0)
    f['F'].attrs['MATLAB_class'] = np.bytes_('double')
with open(path, 'r+b') as f:
    f.write(header)
with h5py.File(os.path.join(d, 'deep.mat'), 'w', userblock_size=512) as f:
    fields = np.empty(1, dtype=object)
    fields[0] = np.array([b'a'], 'S1')
    g = f.create_group('s')
    for _ in range(3000):
        g.attrs['MATLAB_class'] = np.bytes_('struct')
        g.attrs.create('MATLAB_fields', fields, dtype=h5py.vlen_dtype(np.dtype('S1')))
        g = g.create_group('a')
    g.attrs['MATLAB_class'] = np.bytes_('double')
    f['x'] = np.arange(3.0).reshape(3, 1)
    f['x'].attrs['MATLAB_class'] = np.bytes_('double')
with open(os.path.join(d, 'deep.mat'), 'r+b') as f:
    f.write(header)
for name, extra in (('links.mat', False), ('refslink.mat', True)):
    with h5py.File(os.path.join(d, name), 'w', userblock_size=512) as f:
        for v in ('a', 'b'):
            f[v] = np.arange(3.0).reshape(3, 1)
            f[v].attrs['MATLAB_class'] = np.bytes_('double')
        f['s'] = h5py.SoftLink('/a')
        f['e'] = h5py.ExternalLink('other.h5', '/x')
        if extra:
            f['r'] = h5py.SoftLink('/#refs#/q')
    with open(os.path.join(d, name), 'r+b') as f:
        f.write(header)
