"""Writes DIR/damaged.mat, a version 7.3 MAT-file whose chunks decode to
less or more than a chunk: short (a deflate stream of 16 bytes for a
64-byte chunk), long (one of 128 bytes) and raw (an unfiltered chunk whose
index says 56 bytes); and good, a 3x1 double read as ever.

Usage: /usr/bin/python3 damaged73_writer.py DIR
"""
import os, struct, sys, zlib, h5py, numpy as np
path = os.path.join(sys.argv[1], 'damaged.mat')
values = np.arange(1, 9, dtype='<u8').reshape(4, 2)
with h5py.File(path, 'w', userblock_size=512) as f:
    f['good'] = np.arange(3.0).reshape(3, 1)
    f['good'].attrs['MATLAB_class'] = np.bytes_('double')
    for name, compression in (('short', 'gzip'), ('long', 'gzip'), ('raw', None)):
        f.create_dataset(name, data=values, chunks=(4, 2), compression=compression)
        f[name].attrs['MATLAB_class'] = np.bytes_('uint64')
    chunks = {name: f[name].id.get_chunk_info(0) for name in ('short', 'long', 'raw')}
data = bytearray(open(path, 'rb').read())
for name, size in (('short', 16), ('long', 128)):
    stream = zlib.compress(bytes(size), 9)
    at = 512 + chunks[name].byte_offset
    assert len(stream) <= chunks[name].size
    data[at:at + len(stream)] = stream
# The raw chunk's B-tree leaf: "TREE", type 1, level 0, one entry; its key
# holds the chunk's size (64) before the chunk's address.
raw = chunks['raw']
leaf = struct.pack('<4sBBH', b'TREE', 1, 0, 1)
at = data.find(leaf)
while at >= 0:
    key = at + 8 + 16
    if struct.unpack_from('<I', data, key)[0] == 64 and struct.unpack_from('<Q', data, key + 8 + 3 * 8)[0] == raw.byte_offset:
        struct.pack_into('<I', data, key, 56)
        break
    at = data.find(leaf, at + 1)
assert at >= 0, 'no B-tree leaf of the raw chunk'
data[:128] = (b'MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Jan  1 00:00:00 2024 HDF5 schema 1.00 .'.ljust(116)
              + b'\0' * 8 + b'\x00\x02IM')
open(path, 'wb').write(bytes(data))
