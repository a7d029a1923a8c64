#!/usr/bin/env bash
# Builds lumo (both extension modules and the core) with the address and
# undefined-behaviour sanitizers into a side environment, .venv-sanitize, and
# runs the test suite there. Optional in CI: it takes several times as long as
# the plain suite. Extra arguments go to pytest (e.g. -x, -k congested).
#
#   tools/sanitize.sh [pytest arguments]
#
# Tests that cannot hold under the sanitizers skip with the reason (the
# `sanitized` fixture): a cap on the address space (the sanitizer's shadow
# memory reserves terabytes of it) and reaction times bounded in fractions of
# a second. Leak detection is off: the interpreter keeps its objects at exit.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3.12}
ENV=.venv-sanitize
if [ ! -x "$ENV/bin/python" ]; then
  PYENV_VERSION=${PYENV_VERSION:-3.12} "$PY" -m venv "$ENV"
  "$ENV/bin/pip" install -q "scikit-build-core>=0.10" "tbb-devel==2023.2.0" \
    pytest numpy pandas scipy mypy h5py geopandas pyogrio pyproj shapely distributed plotly \
    click tomli-w tqdm pillow pyarrow
fi
FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
CFLAGS="$FLAGS" CXXFLAGS="$FLAGS" LDFLAGS="-fsanitize=address,undefined" \
  "$ENV/bin/pip" install -q --no-deps --no-build-isolation \
  -C build-dir=build/sanitize -C cmake.build-type=RelWithDebInfo .
ASAN=$(${CXX:-g++} -print-file-name=libasan.so)
UBSAN=$(${CXX:-g++} -print-file-name=libubsan.so)
# The sanitizer runtimes must come first in a Python that was not built with them.
export LD_PRELOAD="$ASAN:$UBSAN"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LUMO_SANITIZED=1
exec "$ENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
