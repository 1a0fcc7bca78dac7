# Pictures read back against the data: `matwcx extract --as png|svg` of what
# scipy wrote (plain and compressed), judged with Pillow and xml.etree.
# An RGB uint8 array's PNG holds its pixels; a matrix's PNG is as wide as
# its columns and as high as its rows, its least value the colour map's
# first colour, its greatest the last, NaN grey; a vector's SVG plot spans
# the data's least and greatest value. Arguments: the matwcx command, a
# scratch folder. Prints "FAIL ..." lines and a summary; exits 1 on a failure.
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import scipy.io as sio
from PIL import Image

tool, work = sys.argv[1], sys.argv[2]
ini = os.path.join(work, 'wcx.ini')
open(ini, 'w').close()
rng = np.random.default_rng(3)
matrix = np.arange(200 * 300, dtype=float).reshape(200, 300)
matrix[5, 7] = np.nan
vector = np.sin(np.arange(100000) / 300.0)
vector[54321] = 40.0    # a single-sample peak
vector[777] = -3.0
values = {
    'rgb': rng.integers(0, 256, (60, 80, 3), dtype=np.uint8),
    'unit': rng.random((4, 6, 3)),                       # double 0..1
    'matrix': matrix,
    'mask': rng.random((30, 20)) > 0.5,                   # logical: two colours
    'vector': vector,
    'columns': rng.standard_normal((500, 3)),
    'cplx': np.ones((2, 2)) + 1j,
}
FIRST, LAST, GREY = (68, 1, 84), (253, 231, 37), (128, 128, 128)
NS = '{http://www.w3.org/2000/svg}'
fails, checked = [], 0


def fail(text):
    fails.append(text)


def extract(mat, fmt, out):
    run = subprocess.run([tool, '--ini', ini, 'extract', mat, '--as', fmt, '-d', out], capture_output=True, text=True)
    return {os.path.splitext(n)[0]: os.path.join(out, n) for n in os.listdir(out)}, run.stderr


def pixels(path):
    return np.asarray(Image.open(path).convert('RGB'))


def check_png(files, where):
    global checked
    got = pixels(files['rgb'])
    if got.shape != (60, 80, 3) or not (got == values['rgb']).all():
        fail(f'{where} rgb: PNG pixels are not the variable')
    unit = pixels(files['unit'])
    if not (unit == np.round(values['unit'] * 255)).all():
        fail(f'{where} unit: 0..1 doubles are not scaled to 0..255')
    image = Image.open(files['matrix'])
    got = pixels(files['matrix'])
    if image.size != (300, 200):
        fail(f'{where} matrix: PNG size {image.size}, want 300 wide and 200 high')
    elif tuple(got[0, 0]) != FIRST or tuple(got[199, 299]) != LAST or tuple(got[5, 7]) != GREY:
        fail(f'{where} matrix: corners {got[0, 0]} {got[199, 299]}, NaN {got[5, 7]}')
    mask = pixels(files['mask'])
    want = np.where(values['mask'][..., None], LAST, FIRST)
    if not (mask == want).all():
        fail(f'{where} mask: a logical matrix is not two colours')
    if 'cplx' in files or 'vector' not in files:
        fail(f'{where}: which variables went to PNG: {sorted(files)}')
    checked += 4


def plot_values(path):
    """The values the plot's points stand for, through its y ticks' labels."""
    root = ET.parse(path).getroot()
    ticks = [(float(t.get('y')), float(t.text)) for t in root.iter(NS + 'text') if t.get('class') == 'ylabel']
    (y0, v0), (y1, v1) = ticks[0], ticks[-1]
    lines = [g for g in root.iter(NS + 'g') if g.get('class') == 'line']
    title = root.find(NS + 'title').text
    result = []
    for g in lines:
        ys = [float(p.split(',')[1]) for pl in g.iter(NS + 'polyline') for p in pl.get('points').split()]
        result.append([v0 + (y - y0) * (v1 - v0) / (y1 - y0) for y in ys])
    return title, result, (v1 - v0) / abs(y1 - y0), int(root.get('width'))


def check_svg(files, where):
    global checked
    title, lines, per_pixel, width = plot_values(files['vector'])
    points = lines[0] if len(lines) == 1 else []
    if title != 'vector' or not points:
        fail(f'{where} vector: title {title!r}, {len(lines)} lines')
    elif abs(min(points) - vector.min()) > per_pixel or abs(max(points) - vector.max()) > per_pixel:
        fail(f'{where} vector: the path spans {min(points)} .. {max(points)}, '
             f'the data {vector.min()} .. {vector.max()}')
    elif len(points) > 2 * width + 2:
        fail(f'{where} vector: {len(points)} points for {width} pixels')
    _, lines, per_pixel, _ = plot_values(files['columns'])
    spans = [(min(p), max(p)) for p in lines]
    want = [(c.min(), c.max()) for c in values['columns'].T]
    if len(spans) != 3 or any(abs(a - c) > per_pixel or abs(b - d) > per_pixel for (a, b), (c, d) in zip(spans, want)):
        fail(f'{where} columns: lines span {spans}, want {want}')
    if any(name in files for name in ('rgb', 'cplx')):
        fail(f'{where}: which variables went to SVG: {sorted(files)}')
    checked += 2


for compressed in (False, True):
    where = 'compressed' if compressed else 'plain'
    mat = os.path.join(work, where + '.mat')
    sio.savemat(mat, values, do_compression=compressed)
    files, said = extract(mat, 'png', os.path.join(work, where, 'png'))
    check_png(files, where)
    if 'cplx' not in said or 'cannot be written as PNG; it goes to .csv, .tsv, .npy' not in said:
        fail(f'{where}: the refusal of a complex matrix does not name the formats it takes: {said}')
    files, _ = extract(mat, 'svg', os.path.join(work, where, 'svg'))
    check_svg(files, where)

for line in fails:
    print('FAIL', line)
print(f'checked {checked} pictures')
sys.exit(1 if fails else 0)
