#!/usr/bin/env bash
# Installs varnix into .venv and runs the quickstart example.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_debian_packages g++ libssl-dev libgmp-dev
ensure_venv
echo "setup: compiling and installing varnix into .venv (about 2 minutes on 2 cores)"
.venv/bin/python -m pip install -q --disable-pip-version-check .
.venv/bin/python examples/quickstart.py
