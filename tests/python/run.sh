#!/bin/sh
# Runs the Python package's tests against a build directory: its library,
# genwave (the signal source) and zebsim (the simulated card).
#   tests/python/run.sh BUILD_DIR
set -eu
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)

export KELMO_LIBRARY="$build/libkelmo.so.0"
export KELMO_GENWAVE="$build/genwave"
export KELMO_ZEBSIM="$build/zebsim"
export KELMO_TOOL="$build/tools/kelmo"
for f in "$KELMO_LIBRARY" "$KELMO_GENWAVE" "$KELMO_ZEBSIM"; do
    [ -e "$f" ] || echo "run.sh: $f is missing; the tests that need it are skipped" >&2
done
# Shared-memory names and the device folder of this run only.
export KELMO_SHM_NAMESPACE="kelmo-pytest-$$"
export PYTHONPATH="$root/python${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONDONTWRITEBYTECODE=1
export MPLBACKEND=Agg

cd "$root"
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python
