# Writes scipy.io.savemat files into the folder given first (when it is not
# "-"), then prints what scipy reads from every file given after it, one line
# per variable: file, name, class, dims, then up to 16 values (column-major,
# real then imaginary parts; sparse: stored values; char: the text).
import sys
import numpy as np
import scipy.io as sio
import scipy.sparse as sp


def write(folder):
    v = {
        'A': np.arange(12, dtype=float).reshape(3, 4),
        'z': np.array([[1 + 2j, -3.5 - 4j]]),
        'i16': np.array([[-7, 8, 30000]], dtype=np.int16),
        'u32': np.array([[4000000000]], dtype=np.uint32),
        'f32': np.array([[0.25, -1e30]], dtype=np.float32),
        's': 'hello world',
        'e': np.zeros((0, 3)),
        'sp': sp.csc_matrix(np.array([[0, 2.5], [1, 0], [0, -3]])),
        'cube': np.arange(24, dtype=float).reshape(2, 3, 4),
    }
    v5 = dict(v, b=np.array([[True, False]]), i64=np.array([[-2**62, 2**62]], dtype=np.int64),
              c=np.array([[1, 'x']], dtype=object), st={'f': 1.0, 'g': 'text'})
    sio.savemat(folder + '/scipy_v5.mat', v5)
    sio.savemat(folder + '/scipy_v5z.mat', v5, do_compression=True)
    v4 = {k: x for k, x in v.items() if k not in ('cube', 'e')}
    sio.savemat(folder + '/scipy_v4.mat', v4, format='4')


def fmt(values):
    return ' '.join('%.17g' % x for x in values[:16])


def dump(path):
    try:
        info = sio.whosmat(path)
        data = sio.loadmat(path, chars_as_strings=True, squeeze_me=False)
    except Exception as err:
        print('%s\t!\t%s' % (path, type(err).__name__))
        return
    for name, shape, cls in info:
        x = data.get(name)
        values = ''
        if sp.issparse(x):
            x = x.tocsc()
            values = fmt(list(np.real(x.data)) + list(np.imag(x.data) if np.iscomplexobj(x.data) else []))
        elif cls == 'char' and x is not None and x.size == 1:
            values = str(x.flat[0]).replace('\\', '\\\\').replace('\n', '\\n').replace('\t', '\\t')
        elif cls in ('double', 'single', 'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64',
                     'uint64', 'logical') and x is not None and x.dtype != object:
            flat = x.flatten(order='F')
            if np.iscomplexobj(flat):
                values = fmt(list(flat.real[:16])) + ' | ' + fmt(list(flat.imag[:16]))
            elif x.dtype.kind in 'iu':
                values = ' '.join(str(int(e)) for e in flat[:16])
            else:
                values = fmt([float(e) for e in flat])
        print('%s\t%s\t%s\t%s\t%s' % (path, name, cls, ' '.join(str(d) for d in shape), values))


if sys.argv[1] != '-':
    write(sys.argv[1])
for p in sys.argv[2:]:
    dump(p)
