# The viewer's text (ShowContents on) shows every value of what scipy wrote:
# writes a MAT-file with scipy, views each variable with the matwcx command,
# parses the values back out of the text (column blocks, pages, complex
# parts, char rows) and compares them with numpy's to the shown precision.
# Arguments: the matwcx command, a scratch folder. Prints "FAIL ..." lines
# and a summary line; exits 0.
import os
import re
import subprocess
import sys

import numpy as np
import scipy.io as sio

tool, work = sys.argv[1], sys.argv[2]
rng = np.random.default_rng(7)
values = {
    'vec': rng.standard_normal((1, 100000)) * 10.0 ** rng.integers(-3, 6, (1, 100000)),
    'mat': rng.standard_normal((300, 300)),
    'cube': np.arange(60, dtype=float).reshape((4, 5, 3), order='F') - 20,
    'chars': np.array(['first ', 'second', 'third!']),
    'cplx': rng.standard_normal((20, 7)) + 1j * rng.standard_normal((20, 7)),
}
mat = os.path.join(work, 'values.mat')
sio.savemat(mat, values, do_compression=True)
ini = os.path.join(work, 'wcx.ini')
with open(ini, 'w') as f:
    f.write('[MATlab]\nShowContents=1\n')

fails = []
NUMBER = r'(?:-?(?:\d+(?:\.\d*)?(?:e[+-]\d+)?|Inf)|NaN)'
CELL = re.compile(r'(%s)(?: ([+-]) +(%s)i)?' % (NUMBER, NUMBER))


def parse_pages(name, text):
    """{page subscripts: {(row, col): value}} from the text after the whos lines."""
    pages, page, column0, row = {}, None, 0, 0
    for line in text.split('\n'):
        head = re.match(r'^%s(\(:,:[,\d]*\))? =$' % name, line)
        cols = re.match(r'^  Columns? (\d+)', line)
        if head:
            page = pages.setdefault(head.group(1) or '', {})
            column0, row = 0, 0
        elif cols:
            column0, row = int(cols.group(1)) - 1, 0
        elif page is not None and line.strip():
            for c, m in enumerate(CELL.finditer(line)):
                v = complex(float(m.group(1)), 0)
                if m.group(2):
                    v += 1j * float(m.group(3)) * (1 if m.group(2) == '+' else -1)
                page[(row, column0 + c)] = v
            row += 1
    return pages


def close(shown, expected):
    # Five significant digits, or the whole number exactly.
    return abs(shown - expected) <= 1e-4 * abs(expected) + 1e-300


checked = 0
for name, expected in values.items():
    run = subprocess.run([tool, '--ini', ini, 'view', mat, name], capture_output=True, text=True)
    if run.returncode != 0:
        fails.append('FAIL %s: matwcx view answered %d: %s' % (name, run.returncode, run.stderr))
        continue
    text = run.stdout
    if 'not shown' in text or 'damaged' in text:
        fails.append('FAIL %s: not every value is shown' % name)
    if name == 'chars':
        rows = re.findall(r"^    '(.*)'$", text, re.M)
        if rows != [str(s) for s in expected]:
            fails.append('FAIL chars: rows %r, expected %r' % (rows, list(expected)))
        checked += 1
        continue
    pages = parse_pages(name, text)
    grid = expected.reshape(expected.shape[:2] + (-1,), order='F')
    names = [''] if expected.ndim == 2 else ['(:,:,%d)' % (k + 1) for k in range(grid.shape[2])]
    if sorted(pages) != sorted(names):
        fails.append('FAIL %s: pages %r, expected %r' % (name, sorted(pages)[:5], names[:5]))
        continue
    for k, page_name in enumerate(names):
        page = pages[page_name]
        if len(page) != grid.shape[0] * grid.shape[1]:
            fails.append('FAIL %s%s: %d values shown of %d' % (name, page_name, len(page), grid.shape[0] * grid.shape[1]))
            continue
        bad = [(rc, page[rc], grid[rc[0], rc[1], k]) for rc in page if not close(page[rc], grid[rc[0], rc[1], k])]
        if bad:
            fails.append('FAIL %s%s: %d values differ, first %r' % (name, page_name, len(bad), bad[0]))
    checked += 1

for line in fails:
    print(line)
print('checked %d variables shown by the viewer, %d failed' % (checked, len(fails)))
