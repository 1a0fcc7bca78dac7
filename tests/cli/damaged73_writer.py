"""Writes DIR/damaged.mat and DIR/damaged_latest.mat (HDF5's earliest and
latest formats: a version 1 B-tree of chunks, a later index), version 7.3
MAT-files whose chunks decode to less or more than a chunk: short (a
deflate stream of 16 bytes for a 64-byte chunk), long (one of 128 bytes)
and, in the first, raw (an unfiltered chunk whose index says 56 bytes);
and good (a 3x1 double) and sound (the same chunks undamaged), read as ever.

Usage: /usr/bin/python3 damaged73_writer.py DIR
"""
import os, struct, sys, zlib, h5py, numpy as np
values = np.arange(1, 9, dtype='<u8').reshape(4, 2)
for name, libver in (('damaged.mat', 'earliest'), ('damaged_latest.mat', 'latest')):
    path = os.path.join(sys.argv[1], name)
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
    data[:128] = (b'MATLAB 7.3 MAT-file, Platform: GLNXA64, Created on: Mon Jan  1 00:00:00 2024 HDF5 schema 1.00 .'.ljust(116)
                  + b'\0' * 8 + b'\x00\x02IM')
    open(path, 'wb').write(bytes(data))
