#!/usr/bin/env bash
# Installs what is missing, builds everything in build/, writes a sample
# MAT-file and opens it through the plug-in with the matwcx command: the
# entries a file manager would show, then the variables' details.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
source scripts/generator.sh
mkdir -p build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATWCX_WERROR=ON >build/configure.log 2>&1 ||
  { cat build/configure.log; exit 1; }
cmake --build build -j2
/usr/bin/python3 scripts/make_sample.py build/sample.mat >/dev/null

echo "\$ build/matwcx dir build/sample.mat"
build/matwcx dir build/sample.mat
echo
echo "\$ build/matwcx list build/sample.mat"
build/matwcx list build/sample.mat
