#!/usr/bin/python3
"""Writes the same variables twice into OUTDIR: v73.mat through hdf5storage
(version 7.3, HDF5, MATLAB's attributes) and v5.mat through scipy.io, so that
the suites can hold the two files' values and texts side by side. Also
OUTDIR/../damaged73/sparse.mat: two 2x3 sparse matrices in MATLAB's layout,
`good` and `bad`, whose column starts fall back (a damaged file); and
OUTDIR/../damaged73/huge.mat: a 1x300000000 double never written (a few KB
on disk, 2.4 GB of values), which version 7 cannot hold.

Usage: /usr/bin/python3 hdf5storage_writer.py OUTDIR
"""
import os
import sys

import h5py
import hdf5storage
import numpy as np
import scipy.io

# Left out: empty arrays, whose dimensions hdf5storage 0.1.19 stores in HDF5's
# order where matio (and MATLAB) store MATLAB's; matio's files have them.
out = sys.argv[1]


def cell(*items):
    c = np.empty((1, len(items)), dtype=object)
    for i, item in enumerate(items):
        c[0, i] = item
    return c


# A 1x2 struct array, and a cell of every class the viewer's text of cells
# shows (its first 20 elements of 25, short values only, nesting), then
# cells and structs nested deeper than the text goes and a struct array
# whose text passes the room the viewer gives it.
pairs = np.zeros((1, 2), dtype=[('v', object), ('w', object)])
pairs[0, 0] = (np.array([[1.0]]), 'first')
pairs[0, 1] = (np.array([[2.0, 3.0]]), 'second')
nest = np.array([[7.0]])
for level in range(18):
    nest = cell(nest) if level % 2 else {'n': nest}
wide = np.zeros((1, 25), dtype=[('f%02d' % f, object) for f in range(20)])
for k in range(25):
    wide[0, k] = tuple(np.array([[float(k * 100 + f)]]) for f in range(20))
mixed = cell(np.array([[1 + 2j, -3.5j]]), np.array([[True], [False]]), np.array([[-2**63]], dtype=np.int64),
             np.array([[0, 2**64 - 1]], dtype=np.uint64), 'grüße €', pairs, 'x' * 90,
             np.arange(11.0).reshape(1, 11), cell(*[np.array([[float(i)]]) for i in range(25)]),
             {'deep': cell(cell(cell(np.array([[7.0]]))))}, nest, wide)
variables = {
    'h_double': np.arange(12.0).reshape(3, 4),
    'h_complex': np.array([[1 + 2j, -3.5j], [0.25, 4 - 1j]]),
    'h_text': 'grüße, € and ñ',   # non-ASCII (hdf5storage writes UTF-32 beyond the BMP: avoided)
    'h_logical': np.array([[True, False, True], [False, False, True]]),
    'h_int64': np.array([[-2**63, -1, 2**63 - 1]], dtype=np.int64),
    'h_uint64': np.array([[0, 2**64 - 1]], dtype=np.uint64),
    'h_int8': np.array([[-128, 0, 127]], dtype=np.int8),
    'h_cube': np.arange(24, dtype=np.float32).reshape(2, 3, 4),
    'h_cell': cell(np.array([[1.5, -2.0]]), 'in a cell'),
    'h_mixed': mixed,
    'h_struct': {'a': np.array([[1.0]]), 'b': 'field'},
}
hdf5storage.savemat(os.path.join(out, 'v73.mat'), variables, format='7.3', oned_as='row')
scipy.io.savemat(os.path.join(out, 'v5.mat'), variables, oned_as='row')

# hdf5storage writes no sparse matrices: the groups are made with h5py.
damaged = os.path.join(out, os.pardir, 'damaged73')
os.makedirs(damaged, exist_ok=True)
sparse = os.path.join(damaged, 'sparse.mat')
if os.path.exists(sparse):
    os.remove(sparse)
hdf5storage.savemat(sparse, {'a': np.array([[1.0]])}, format='7.3')
with h5py.File(sparse, 'r+') as f:
    for name, jc in (('good', [0, 1, 2, 3]), ('bad', [0, 2, 1, 3])):
        group = f.create_group(name)
        group.attrs['MATLAB_class'] = np.bytes_('double')
        group.attrs['MATLAB_sparse'] = np.uint64(2)
        group['data'] = np.array([1.0, 3.0, 2.0])
        group['ir'] = np.array([0, 1, 0], dtype=np.uint64)
        group['jc'] = np.array(jc, dtype=np.uint64)

huge = os.path.join(damaged, 'huge.mat')
if os.path.exists(huge):
    os.remove(huge)
hdf5storage.savemat(huge, {'small': np.array([[1.0]])}, format='7.3')
with h5py.File(huge, 'r+') as f:
    d = f.create_dataset('huge', shape=(300000000, 1), dtype='<f8', chunks=(1000000, 1))
    d.attrs['MATLAB_class'] = np.bytes_('double')
