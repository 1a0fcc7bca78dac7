#!/usr/bin/python3
"""Writes OUTDIR/v73.mat: the variables of a MATLAB-written level-5 file that
holds objects (SOURCE), as MATLAB lays them out in a version 7.3 file: each
object variable a uint32 dataset of its metadata (MATLAB_class its class,
MATLAB_object_decode 3), a struct of objects a group of such datasets, and
the subsystem data's cell as /#subsystem#/MCOS, a dataset of references to
its elements in /#refs# (written by hdf5storage). SOURCE is copied beside it
as OUTDIR/v5.mat, so that the suites can compare the two files' texts.

Usage: /usr/bin/python3 objects73_writer.py SOURCE OUTDIR
"""
import io
import os
import shutil
import sys
import warnings

import h5py
import hdf5storage
import numpy as np
import scipy.io as sio
from scipy.io.matlab import _mio5, _mio5_params

warnings.simplefilter('ignore')   # scipy on the unnamed and opaque variables
source, out = sys.argv[1], sys.argv[2]


def arrays(stream):
    """[(name, value)] of a level-5 stream after its 128-byte header, unprocessed."""
    reader = _mio5.MatFile5Reader(stream)
    reader.initialize_read()
    stream.seek(128)
    found = []
    while True:
        try:
            header, next_at = reader.read_var_header()
        except (TypeError, ValueError, OSError):   # the end of the stream
            return found
        value = reader.read_var_array(header, process=False)
        stream.seek(next_at)
        name = header.name.decode() if header.name else ''
        if isinstance(value, _mio5_params.MatlabOpaque):
            name = value[0]['s0'].decode()
        found.append((name, value))


def plain(x):
    """A value hdf5storage writes as MATLAB would: no None, real doubles real."""
    if x is None:
        return np.zeros((0, 0))
    if isinstance(x, np.ndarray) and (x.dtype == object or x.dtype.names):
        y = np.zeros(x.shape, dtype=x.dtype) if x.dtype.names else np.empty(x.shape, dtype=object)
        for i in np.ndindex(x.shape):
            if x.dtype.names:
                for n in x.dtype.names:
                    y[i][n] = plain(x[i][n])
            else:
                y[i] = plain(x[i])
        return y
    if isinstance(x, np.ndarray) and x.dtype.kind == 'c' and not x.imag.any():
        return x.real.copy()
    return x


def put_object(parent, name, opaque):
    data = parent.create_dataset(name, data=np.asarray(opaque[0]['arr'], dtype=np.uint32).T)
    data.attrs['MATLAB_class'] = np.bytes_(opaque[0]['s2'].decode())
    data.attrs['MATLAB_object_decode'] = np.int32(3)


# The subsystem data: the unnamed variable's bytes, a level-5 stream after an
# 8-byte preamble; its struct's MCOS field is an opaque FileWrapper__ whose
# content is the cell.
payload = bytes(sio.loadmat(source)['__function_workspace__'][0])
header = b' ' * 116 + b'\0' * 8 + b'\x00\x01IM'
cell = arrays(io.BytesIO(header + payload[8:]))[0][1][0, 0]['MCOS'][0]['arr']
target = os.path.join(out, 'v73.mat')
hdf5storage.savemat(target, {'e%d' % i: plain(x) for i, x in enumerate(cell.flat)}, format='7.3',
                    oned_as='row', store_python_metadata=False)
with h5py.File(target, 'r+') as f:
    refs = f.require_group('#refs#')
    for i in range(cell.size):
        f.move('e%d' % i, '#refs#/e%d' % i)
    mcos = f.create_group('#subsystem#').create_dataset(
        'MCOS', data=np.array([[refs['e%d' % i].ref for i in range(cell.size)]], dtype=h5py.ref_dtype))
    mcos.attrs['MATLAB_class'] = np.bytes_('FileWrapper__')
    mcos.attrs['MATLAB_object_decode'] = np.int32(3)
    with open(source, 'rb') as stream:
        variables = arrays(stream)
    for name, value in variables:
        if not name:
            continue
        if isinstance(value, _mio5_params.MatlabOpaque):
            put_object(f, name, value)
            continue
        group = f.create_group(name)   # a 1x1 struct of objects
        group.attrs['MATLAB_class'] = np.bytes_('struct')
        for field in value.dtype.names:
            put_object(group, field, value[0, 0][field])
        names = np.empty(len(value.dtype.names), dtype=h5py.vlen_dtype(np.dtype('S1')))
        for i, field in enumerate(value.dtype.names):
            names[i] = np.frombuffer(field.encode(), dtype='S1')
        group.attrs.create('MATLAB_fields', names, dtype=names.dtype)
shutil.copyfile(source, os.path.join(out, 'v5.mat'))
