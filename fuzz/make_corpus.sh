#!/usr/bin/env bash
# Generates the fuzz targets' seed corpus (not committed: it is made afresh
# from the writers installed on the machine):
#   OUT/mat       small valid MAT-files of every format and class: scipy.io
#                 savemat as version 4, 5 and 5 compressed; what MAKE_SEEDS
#                 (fuzz/make_seeds.cpp, built with the targets) writes:
#                 every class in both byte orders; the MATLAB-written
#                 files of Debian's scipy test data; the files of
#                 $MATWCX_TESTDATA (Octave, matio, scipy) when it is set
#   OUT/settings  a few settings files (the host's INI file)
#   OUT/v73       the HDF5 data of the version 7.3 files among those (up to
#                 256 KB), without their user block (v73_fuzz adds its own)
# Only files under kMaxSeedBytes go in: libFuzzer mutates small inputs far
# faster, and a large seed teaches it nothing a small one does not.
# Usage: fuzz/make_corpus.sh OUT [MAKE_SEEDS]
set -euo pipefail
out=${1:?usage: make_corpus.sh OUT [MAKE_SEEDS]}
make_seeds=${2:-}
kMaxSeedBytes=65536   # 64 KB
python=/usr/bin/python3
scipy_data=/usr/lib/python3/dist-packages/scipy/io/matlab/tests/data

rm -rf "$out/mat" "$out/settings" "$out/subsystem" "$out/v73"
mkdir -p "$out/mat" "$out/settings" "$out/subsystem" "$out/v73"

"$python" - "$out/mat" <<'PY'
import os, sys
import numpy as np
import scipy.io as sio
from scipy import sparse

out = sys.argv[1]
v5 = {
    'd': np.arange(6.0).reshape(2, 3),
    'z': np.array([[1 + 2j, 3 - 4j]]),
    'f': np.array([1.5, -2.5], dtype=np.float32),
    'i8': np.array([-1, 2], dtype=np.int8), 'u8': np.array([1, 255], dtype=np.uint8),
    'i16': np.array([-300], dtype=np.int16), 'u16': np.array([60000], dtype=np.uint16),
    'i32': np.array([-70000], dtype=np.int32), 'u32': np.array([4000000000], dtype=np.uint32),
    'i64': np.array([-2**40], dtype=np.int64), 'u64': np.array([2**63 + 5], dtype=np.uint64),
    'b': np.array([[True, False]]),
    's': 'hello', 'u': 'caf\u00e9 \u20ac', 'sa': np.array(['ab', 'cd']),
    'empty': np.zeros((0, 3)),
    'sp': sparse.csc_matrix(np.array([[0, 1.5], [2.0, 0], [0, 0]])),
    'spz': sparse.csc_matrix(np.array([[0, 1 + 1j], [2.0, 0]])),
    'spb': sparse.csc_matrix(np.array([[True, False], [False, True]])),
    'c': np.array([[np.arange(3.0), 'x'], [np.array([[1]]), np.zeros((0, 0))]], dtype=object),
    'st': {'a': 1.0, 'b': 'text', 'n': {'deep': np.array([1, 2], dtype=np.int16)}},
    'sta': np.array([(1.0, 'x'), (2.0, 'y')], dtype=[('p', object), ('q', object)]),
    'nd': np.arange(24.0).reshape(2, 3, 4),
}
def save(name, data, **kw):
    try:
        sio.savemat(os.path.join(out, name), data, **kw)
    except Exception as e:   # a class this format cannot hold: the others still go in
        print('make_corpus: skipped %s: %s' % (name, e), file=sys.stderr)

save('all_v5.mat', v5)
save('all_v5_compressed.mat', v5, do_compression=True)
for key, value in v5.items():
    save('v5_%s.mat' % key, {key: value})
    save('v5z_%s.mat' % key, {key: value}, do_compression=True)
    save('v5g_%s.mat' % key, {key: value}, do_compression=True, oned_as='column')
save('v5_object.mat', {'o': sio.matlab.MatlabObject(np.array([(1.0,)], dtype=[('v', object)]), 'myclass')})
save('v5_global.mat', {'g': np.array([[1.0]]), '__globals__': ['g']})
save('v5_empty.mat', {})
v4 = {'d': np.arange(6.0).reshape(2, 3), 'z': np.array([[1 + 2j]]), 'f': np.array([1.5], dtype=np.float32),
      'i32': np.array([-7], dtype=np.int32), 'i16': np.array([-3], dtype=np.int16),
      'u16': np.array([9], dtype=np.uint16), 'u8': np.array([200], dtype=np.uint8), 's': 'text',
      'sp': sparse.csc_matrix(np.array([[0, 1.5], [2.0, 0]])), 'spz': sparse.csc_matrix(np.array([[0, 1j], [2.0, 0]]))}
save('all_v4.mat', v4, format='4')
for key, value in v4.items():
    save('v4_%s.mat' % key, {key: value}, format='4')
PY

if [[ -n $make_seeds ]]; then
  "$make_seeds" "$out/mat"
fi
if [[ -d $scipy_data ]]; then
  find "$scipy_data" -name '*.mat' -size -"${kMaxSeedBytes}"c -exec cp {} "$out/mat/" \;
fi
# MATLAB's own files with objects and their subsystem data (the decoder's seeds).
matlab_files=tests/objects/matlab
if [[ -d ${MATWCX_MATLAB_FILES:-$matlab_files} ]]; then
  for file in "${MATWCX_MATLAB_FILES:-$matlab_files}"/*.mat; do cp "$file" "$out/mat/matlab_$(basename "$file")"; done
fi
# The subsystem data of those files alone, inflated: the decoder's target's seeds.
"$python" - "$out/subsystem" "$out"/mat/matlab_*.mat <<'PY'
import os, struct, sys, zlib
out = sys.argv[1]
for path in sys.argv[2:]:
    if not os.path.exists(path):   # the pattern itself when no file matched
        continue
    data = open(path, 'rb').read()
    offset = struct.unpack_from('<Q', data, 116)[0]
    if not 128 <= offset < len(data):
        continue
    kind, size = struct.unpack_from('<II', data, offset)
    element = data[offset:offset + 8 + size]
    if kind == 15:
        element = zlib.decompressobj().decompress(data[offset + 8:offset + 8 + size])
    start = element.find(b'\x00\x01IM')   # the uint8 data starts with version and endian indicator
    if start >= 0:
        open(os.path.join(out, os.path.basename(path) + '.subsystem'), 'wb').write(element[start:])
PY
if [[ -n ${MATWCX_TESTDATA:-} && -d $MATWCX_TESTDATA ]]; then
  while IFS= read -r -d '' file; do
    rel=${file#"$MATWCX_TESTDATA"/}
    cp "$file" "$out/mat/testdata_${rel//\//_}"
  done < <(find "$MATWCX_TESTDATA" -name '*.mat' -size -"${kMaxSeedBytes}"c -print0)
fi

"$python" - "$out/v73" "$scipy_data" "${MATWCX_TESTDATA:-}" <<'PY'
import os, sys
out = sys.argv[1]
for root in sys.argv[2:]:
    for folder, _, files in os.walk(root) if root else []:
        for name in files:
            data = open(os.path.join(folder, name), 'rb').read() if name.endswith('.mat') else b''
            if data[512:520] == b'\x89HDF\r\n\x1a\n' and len(data) <= 262144:
                seed = os.path.relpath(os.path.join(folder, name), root).replace('/', '_')
                open(os.path.join(out, seed + '.h5'), 'wb').write(data[512:])
PY

# Settings files: the plug-in's section as it writes it, among other
# plug-ins' sections, with CR LF line ends, a byte-order mark, odd lines.
s=$out/settings
printf '[MATlab]\n; Matlab MAT files format packer\nAuthor = Quellmark\nStructCellasDirs=1\nDeleteEnabled=0\n' >"$s/plugin.ini"
printf '[Configuration]\r\nEditor=vi\r\n\r\n[MATlab]\r\nDeleteEnabled=1\r\nPackDefaultParamStruct=1001F\r\n[Other]\r\nx=1\r\n' >"$s/crlf.ini"
printf '\xEF\xBB\xBF[matlab]\n  DeleteEnabled = -1 \n=novalue\nnokey\n;comment\n[MATlab]\nStructCellasDirs=99999999999\n' >"$s/bom_odd.ini"
printf '[MATlab\nkey=value\n[]\n]=[\n[MATlab]]\n' >"$s/broken.ini"
: >"$s/empty.ini"

echo "make_corpus: $(ls "$out/mat" | wc -l) MAT-files, $(ls "$out/subsystem" | wc -l) subsystem data, $(ls "$out/v73" | wc -l) HDF5 data, $(ls "$s" | wc -l) settings files in $out"
