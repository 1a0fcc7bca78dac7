# NPY and CSV files for packing, and the judge of what packing made of them.
#   make DIR        writes DIR/ok/* (each file taken in) and DIR/refused/* (each refused)
#   check MAT DIR   compares every variable of MAT (scipy.io.loadmat) with
#                   numpy's values of DIR/ok/*; prints one FAIL line per difference
import itertools
import os
import sys

import numpy as np
import scipy.io as sio

from matvalues import same_plain

nan, inf = float('nan'), float('inf')
# name -> (text, the matrix it gives): a header row skipped, empty cells NaN
CSVS = {
    'header_nan': ('a,b,c\n1,,3\n4,5,\n', [[1, nan, 3], [4, 5, nan]]),
    'plain': ('1.5,-2e300\r\n3,4\r\n', [[1.5, -2e300], [3, 4]]),
    'words': ('x,"y z"\nInf,-inf\n\nNaN, +7 \n', [[inf, -inf], [nan, 7]]),
    'one': ('42', [[42]]),
    # line ends of every kind, a quoted header cell holding a comma and a line end
    'cr': ('1,2\r3,4\r', [[1, 2], [3, 4]]),
    'mixed': ('"a, b","c\r\nd"\r\n1,2\r3,4\n\r\n5,6', [[1, 2], [3, 4], [5, 6]]),
    # a first line whose numbers outgrow memory before its text makes it the header
    'late': (','.join(map(str, range(600000))) + ',x\r' + ','.join(map(str, range(0, 1200002, 2))) + '\r',
             [list(range(0, 1200002, 2))]),
}
KINDS = ['b1', 'i1', 'u1', 'i2', 'u2', 'i4', 'u4', 'i8', 'u8', 'f2', 'f4', 'f8', 'c8', 'c16']


def values(kind, shape):
    n = int(np.prod(shape))
    rng = np.random.default_rng(len(kind) * 7 + n)
    if kind == 'b1':
        a = rng.integers(0, 2, n).astype(bool)
    elif kind[0] in 'iu':
        info = np.iinfo(np.dtype(kind[0] + kind[1:]))
        a = rng.integers(info.min, info.max, n, endpoint=True, dtype=np.dtype(kind[0] + kind[1:]))
    elif kind[0] == 'f':
        a = (rng.standard_normal(n) * 1e3).astype('f' + kind[1:])
        if n > 2:
            a[:3] = [np.nan, np.inf, -0.0]
    else:
        a = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype('c' + kind[1:])
    return a.reshape(shape)


def make(root):
    ok, refused = os.path.join(root, 'ok'), os.path.join(root, 'refused')
    os.makedirs(ok)
    os.makedirs(refused)
    # every dtype in both byte orders and both data orders, the three format versions in turn
    for i, (kind, order, fortran) in enumerate(itertools.product(KINDS, '<>', (False, True))):
        a = values(kind, (3, 4, 2))
        a = a.astype(a.dtype.newbyteorder(order))
        a = np.asfortranarray(a) if fortran else np.ascontiguousarray(a)
        name = 't_%s_%s_%s.npy' % (kind, 'le' if order == '<' else 'be', 'F' if fortran else 'C')
        with open(os.path.join(ok, name), 'wb') as f:
            np.lib.format.write_array(f, a, version=(i % 3 + 1, 0))
    # shapes: scalar, vector (a row), empty, 2-D (of doubles and of shorts:
    # eight columns and one more), singleton dimensions, a
    # C-order matrix of several bands (24 MB), arrays whose first two
    # dimensions (34 MB) or first alone (34 MB) take more than a band, a
    # 1 x N one
    for name, a in [('scalar', np.float64(2.5)), ('vector', np.arange(5, dtype='i4')),
                    ('empty', np.zeros((0, 3))), ('matrix', np.arange(12.).reshape(3, 4)),
                    ('shorts', values('i2', (5, 9))),
                    ('singletons', np.arange(6.).reshape(1, 3, 1, 2)),
                    ('banded', np.random.default_rng(1).standard_normal((1000, 3000))),
                    ('tailed', values('u1', (4100, 4100, 2))),
                    ('tall', values('f8', (2100000, 2))),
                    ('wide', np.arange(7.).reshape(1, 7))]:
        np.save(os.path.join(ok, name + '.npy'), a)
    # refused, each for its reason
    np.save(os.path.join(refused, 'objects.npy'), np.array([{'a': 1}, None], dtype=object), allow_pickle=True)
    np.save(os.path.join(refused, 'records.npy'), np.zeros(3, dtype=[('x', 'f8'), ('y', 'i4')]))
    np.save(os.path.join(refused, 'texts.npy'), np.array(['ab', 'c']))
    np.save(os.path.join(refused, 'cut.npy'), np.arange(100.))
    os.truncate(os.path.join(refused, 'cut.npy'), 200)
    # a CSV of more values than are held in memory (600,000)
    np.savetxt(os.path.join(ok, 'many.csv'), values('f8', (200000, 3)), delimiter=',', fmt='%.17g')
    texts = [(ok, name + '.csv', text) for name, (text, _) in CSVS.items()]
    for folder, name, text in texts + [(refused, 'ragged.csv', '1,2,3\n4,5\n'), (refused, 'text.csv', 'a,b\n1,2\n3,x\n'),
                                  (refused, 'long.csv', 'a,b\r1,2\r3,' + '9' * (1 << 20) + '1\r'),
                                  (refused, 'unclosed.csv', '1,2\n"3\n,4\n')]:
        with open(os.path.join(folder, name), 'w', newline='') as f:
            f.write(text)


def expected(path):
    name, extension = os.path.basename(path).rsplit('.', 1)
    if extension == 'csv':
        return np.array(CSVS[name][1], dtype=float) if name in CSVS else np.loadtxt(path, delimiter=',')
    a = np.load(path)
    if a.dtype.kind == 'f' and a.dtype.itemsize == 2:
        a = a.astype(np.float32)
    a = a.astype(a.dtype.newbyteorder('='))
    return np.atleast_2d(a) if a.ndim < 2 else a


def check(mat, root):
    got = sio.loadmat(mat)
    fails, count = [], 0
    ok = os.path.join(root, 'ok')
    for name in sorted(os.listdir(ok)):
        var = name.rsplit('.', 1)[0]
        want = expected(os.path.join(ok, name))
        if var not in got:
            fails.append('%s: no variable %s' % (name, var))
            continue
        have = got[var]
        if want.dtype == bool:
            want = want.astype(np.uint8)   # scipy reads logical arrays as uint8
        if have.shape != want.shape or have.dtype != want.dtype:
            fails.append('%s: %s %s, numpy %s %s' % (name, have.dtype, have.shape, want.dtype, want.shape))
        elif not same_plain(('num', have), ('num', want)):
            fails.append('%s: values differ (NaN and the sign of a zero included)' % name)
        count += 1
    for line in fails:
        print('FAIL ' + line)
    print('checked %d variables, %d failed' % (count, len(fails)))


if __name__ == '__main__':
    if sys.argv[1] == 'make':
        make(sys.argv[2])
    else:
        check(sys.argv[2], sys.argv[3])
