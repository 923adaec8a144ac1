#!/usr/bin/env bash
# Runs every test of the project on a fresh machine or a used one:
#   1. installs what the build needs when it is missing (Debian packages
#      through apt-get; tests/requirements.txt from PyPI into a private venv),
#   2. builds the C++ core and runs its GoogleTest suite through CTest: with
#      libdeflate, with zlib alone, and under AddressSanitizer and
#      UndefinedBehaviorSanitizer,
#   3. installs the module from this working tree into the venv and runs pytest.
# Everything it builds stays under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
venv="$root/build/test-venv"

say() { printf '\n== %s\n' "$*"; }

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
# libdeflate is optional for the module (zlib does its work without it); the
# tests build both ways, so they need it here.
[ -f /usr/include/libdeflate.h ] || missing+=(libdeflate-dev)
[ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
command -v g++ >/dev/null || missing+=(g++)
command -v nm >/dev/null || missing+=(binutils)
command -v clang++ >/dev/null || missing+=(clang)
command -v strace >/dev/null || missing+=(strace)
# The libFuzzer runtime of whichever clang is the default one.
if ! command -v clang++ >/dev/null ||
  [ ! -f "$(clang++ -print-file-name="libclang_rt.fuzzer-$(uname -m).a")" ]; then
  missing+=(libclang-rt-dev)
fi
python3 -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
command -v chromium >/dev/null || missing+=(chromium)
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}" </dev/null
fi

if [ ! -x "$venv/bin/python" ]; then
  say "creating $venv"
  python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q -r tests/requirements.txt
export PATH="$venv/bin:$PATH"

say "C++ core tests, objects compressed by libdeflate"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESMO_BUILD_MODULE=OFF \
  -DTESMO_DEFLATE=libdeflate >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j2

say "C++ core tests, objects compressed by zlib alone"
cmake -S . -B build/cpp-zlib -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESMO_BUILD_MODULE=OFF \
  -DTESMO_DEFLATE=zlib >/dev/null
cmake --build build/cpp-zlib
ctest --test-dir build/cpp-zlib --output-on-failure -j2

say "C++ core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/cpp-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESMO_SANITIZE=ON \
  -DTESMO_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp-sanitize
ctest --test-dir build/cpp-sanitize --output-on-failure -j2

say "fuzzing smoke run of the core, 20 seconds per target"
scripts/fuzz.sh 20

say "Python module tests"
rm -rf build/wheel
"$venv/bin/python" -m pip wheel -q --no-deps . -w build/wheel
wheel=$(ls build/wheel/tesmo-*-cp39-abi3-*.whl)
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
# Run from tests/ so that the installed module, not the source tree, is imported.
(cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)

# The same abi3 wheel on the oldest interpreter it serves, when one is here.
py39=$(ls "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.9*/bin/python3.9 /usr/bin/python3.9 2>/dev/null | head -n 1 || true)
if [ -n "$py39" ]; then
  say "the same wheel on $("$py39" -V)"
  [ -x build/test-venv-3.9/bin/python ] || "$py39" -m venv build/test-venv-3.9
  build/test-venv-3.9/bin/python -m pip install -q "pytest>=7"
  build/test-venv-3.9/bin/python -m pip install -q --force-reinstall --no-deps "$wheel"
  # The transport scenarios repeat over five transports what the other
  # remote tests already run on this interpreter; the first leg runs them.
  (cd tests/python && "$root/build/test-venv-3.9/bin/python" -m pytest -q -p no:cacheprovider \
    --ignore=test_remote_transports.py .)
fi
