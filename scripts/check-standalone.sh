#!/usr/bin/env bash
# Proves that the release wheel stands alone. In a minimal Debian root made by
# debootstrap (the host's release, with python3-venv and nothing else) it:
#   1. installs the sdist with pip and expects the build to stop naming the
#      Debian packages a source install needs (the root has neither a
#      compiler nor GMP's or OpenSSL's development files);
#   2. installs the wheel into a venv of the root's own Python, offline;
#   3. deletes every libgmp, libcrypto and libssl from the root, then shows
#      ldd of both extension modules and the loader's trace (LD_DEBUG=libs)
#      of where each library is found, and runs tests/smoke.py: every varnix
#      class and varnix_arrays, against exact oracles and hashlib.
# The root is built once and kept as a tarball in /var/cache/varnix-standalone
# (about 3 minutes the first time, a few seconds after), with the .debs and
# the wheels the sdist's build asks for. Needs root (debootstrap, chroot).
# Usage: bash scripts/check-standalone.sh WHEEL
set -euo pipefail
wheel=$(realpath "${1:?usage: bash scripts/check-standalone.sh WHEEL}")
cd "$(dirname "$0")/.."
source scripts/setup.sh
if [ "$(id -u)" -ne 0 ]; then
    echo "check-standalone: needs root (debootstrap and chroot)" >&2
    exit 1
fi
ensure_debian_packages debootstrap
ensure_venv scripts/wheel-requirements.txt

cache=/var/cache/varnix-standalone
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
base="$cache/$suite-python3.tar"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$cache"
if [ ! -f "$base" ]; then
    # The host's own Debian mirror, as its apt sources name it.
    mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n' | grep -v security | head -n1 || true)
    [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\).*/\2/p' /etc/apt/sources.list 2>/dev/null | grep -v security | head -n1 || true)
    [ -n "$mirror" ] || { echo "check-standalone: no Debian mirror in the host's apt sources" >&2; exit 1; }
    echo "check-standalone: making a minimal Debian $suite root with python3-venv (debootstrap, about 3 minutes)"
    mkdir -p "$cache/debs"
    if ! debootstrap --variant=minbase --include=python3-venv --cache-dir="$cache/debs" \
            "$suite" "$work/root" "$mirror" >"$cache/debootstrap.log" 2>&1; then
        tail -n 20 "$cache/debootstrap.log" >&2
        exit 1
    fi
    rm -f "$work/root"/var/cache/apt/archives/*.deb
    tar -C "$work/root" -cf "$base.part" . && mv "$base.part" "$base"
    rm -rf "$work/root"
fi
if [ ! -f "$cache/wheelhouse/.complete" ]; then
    echo "check-standalone: fetching the wheels the sdist's build asks for"
    rm -rf "$cache/wheelhouse"
    .venv/bin/python -m pip download -q --disable-pip-version-check -d "$cache/wheelhouse" \
        scikit-build-core cmake ninja
    touch "$cache/wheelhouse/.complete"
fi

echo "check-standalone: the sdist, and a fresh root from $base"
.venv/bin/python -m build -q --sdist -o "$work/check" . >/dev/null 2>&1
mkdir -p "$work/root" "$work/check"
tar -C "$work/root" -xf "$base"
cp "$wheel" tests/smoke.py "$work/check/"
cp -r "$cache/wheelhouse" "$work/check/wheelhouse"
mv "$work/check" "$work/root/check"

cat >"$work/root/check/run.sh" <<'EOF'
set -eu
cd /check
python3 -m venv /venv
echo "== pip install of the sdist, without a compiler or the development packages"
if /venv/bin/pip install --no-index --find-links /check/wheelhouse /check/varnix-*.tar.gz >sdist.log 2>&1; then
    echo "the source install succeeded where it must stop"; exit 1
fi
grep -m1 -A3 "building varnix from source needs" sdist.log | sed 's/^ *//'
tr -s ' \n' '  ' <sdist.log | grep -q "apt-get install g++ libssl-dev libgmp-dev" || { cat sdist.log; exit 1; }
echo "== pip install of the wheel, offline"
/venv/bin/pip install -q --no-index /check/varnix-*.whl
echo "== deleting GMP and OpenSSL from the root"
for f in $(find /usr /etc -name 'libgmp*.so*' -o -name 'libcrypto.so*' -o -name 'libssl.so*'); do
    echo "deleted $f"; rm -f "$f"
done
ldconfig
/venv/bin/python -I - <<'PY'
import os
left = [os.path.join(d, f) for d, _, fs in os.walk("/") if not d.startswith(("/proc", "/venv", "/check"))
        for f in fs if f.startswith(("libgmp", "libcrypto", "libssl")) and ".so" in f]
assert not left, left
print("no libgmp, libcrypto or libssl left outside the venv")
PY
site=$(/venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
echo "== ldd"
ldd "$site/varnix.abi3.so" "$site/varnix_arrays/_native.abi3.so"
if ldd "$site/varnix.abi3.so" "$site/varnix_arrays/_native.abi3.so" | grep -q "not found"; then exit 1; fi
echo "== where the loader found each library (LD_DEBUG=libs)"
LD_DEBUG=libs /venv/bin/python -c 'import varnix, varnix_arrays' 2>&1 \
    | grep -E "find library=lib(gmp|crypto|ssl)|R(UN)?PATH from file .*varnix|trying file=.*varnix\.libs/lib|calling init: .*lib(gmp|crypto|ssl)" \
    | sed -E 's/^ *[0-9]+: *//; s/search path=[^[:space:]]*:([^:[:space:]]+)[[:space:]]+/search path=...:\1 /'
echo "== smoke run"
/venv/bin/python -I /check/smoke.py
EOF
unshare --mount --fork sh -c "mount -t proc proc '$work/root/proc' && exec chroot '$work/root' /usr/bin/env -i \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 sh /check/run.sh"
