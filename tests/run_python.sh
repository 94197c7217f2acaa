#!/usr/bin/env bash
# The Python tests of the vorn_sr module.
#
# Builds the wheel once (the build environment brings NumPy 2 for the C API
# headers), installs that same wheel into two virtual environments under
# build/, one with the newest NumPy 2 and one with the newest NumPy 1.x, and
# runs the pytest suite in each. Everything comes from PyPI; works as root on
# a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
WHEELHOUSE=build/wheelhouse
PIP_FLAGS=(--disable-pip-version-check --quiet)

# Debian's own python3 ships venv/ensurepip separately.
if ! "$PYTHON" -c "import venv, ensurepip" >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv
  else
    echo "$PYTHON cannot create virtual environments (install python3-venv)" >&2
    exit 1
  fi
fi

# A venv is reused between runs while its interpreter still works.
make_venv() {
  local dir=$1
  if ! "$dir/bin/python" -c "" >/dev/null 2>&1; then
    rm -rf "$dir"
    "$PYTHON" -m venv "$dir"
  fi
}

# One pair of environments per interpreter version.
tag=$("$PYTHON" -c 'import sys; print(f"py{sys.version_info[0]}{sys.version_info[1]}")')
venv_np2=build/py-venv-$tag-np2
venv_np1=build/py-venv-$tag-np1

echo "== building the wheel =="
make_venv "$venv_np2"
rm -rf "$WHEELHOUSE"
"$venv_np2/bin/pip" wheel "${PIP_FLAGS[@]}" . -w "$WHEELHOUSE" --no-deps
wheel=$(ls "$WHEELHOUSE"/vorn_sr-*.whl)
echo "built $wheel"

status=0
run_suite() {
  local dir=$1 numpy_spec=$2
  make_venv "$dir"
  "$dir/bin/pip" install "${PIP_FLAGS[@]}" --upgrade "$numpy_spec"
  "$dir/bin/pip" install "${PIP_FLAGS[@]}" --force-reinstall --no-deps "$wheel"
  "$dir/bin/pip" install "${PIP_FLAGS[@]}" "${wheel}[test]" "$numpy_spec"
  echo "== Python tests: $("$dir/bin/python" -c 'import sys, numpy; print("Python", sys.version.split()[0], "NumPy", numpy.__version__)') =="
  # -p no:cacheprovider: the suite leaves nothing behind in the source tree.
  "$dir/bin/python" -m pytest tests/python -q -p no:cacheprovider || status=1
}

run_suite "$venv_np2" "numpy>=2"
# NumPy 1.x was never released for Python 3.13 and newer.
if "$PYTHON" -c 'import sys; sys.exit(sys.version_info >= (3, 13))'; then
  run_suite "$venv_np1" "numpy<2"
else
  echo "== NumPy 1.x: not available for $tag, skipped =="
fi

# The same suite against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer: bad input from Python must give an exception,
# never a memory error. The sanitizer runtime has to be loaded before the
# interpreter; CPython's own allocations at exit are not leaks worth reporting.
# A huge request (a corrupted pickle's length field, say) must fail as it does
# without the sanitizer, with MemoryError, instead of aborting the process.
echo "== Python tests: module built with address + undefined-behaviour sanitizers =="
cmake -S . -B build/py-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORN_BUILD_PYTHON=ON -DVORN_SANITIZE=ON -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF \
  -DPython_EXECUTABLE="$PWD/$venv_np2/bin/python" >/dev/null
cmake --build build/py-sanitize
VORN_SANITIZED_MODULE=1 LD_PRELOAD="$(c++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONPATH=build/py-sanitize \
  "$venv_np2/bin/python" -m pytest tests/python -q -p no:cacheprovider || status=1
exit $status
