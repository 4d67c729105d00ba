# Shared set-up of the project's commands: the Debian packages the build
# needs, and a virtual environment in .venv with the module installed.
# Sourced by run-example.sh and run-tests.sh from the repository root.

# Installs the missing Debian packages when running as root; otherwise
# stops with a message that names them.
ensure_debian_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
        echo "setup: installing Debian packages: ${missing[*]}"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "setup: missing Debian packages: ${missing[*]}" >&2
        echo "setup: install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

# Spark runs on a Java runtime, 17 or later: any java on the PATH or under
# JAVA_HOME is used, else Debian's is installed (or named, when not root).
ensure_java() {
    { command -v java >/dev/null || [ -x "${JAVA_HOME:-/nonexistent}/bin/java" ]; } && return 0
    echo "setup: the Spark tests need a Java runtime (17 or later)"
    ensure_debian_packages openjdk-17-jre-headless
}

# Creates .venv when absent, with python3, which must be 3.11 or later and
# able to make a virtual environment (else this stops and says what to do),
# and installs the given requirement files in it.
ensure_venv() {
    if [ ! -x .venv/bin/python ]; then
        if ! command -v python3 >/dev/null; then
            echo "setup: no python3 on PATH; varnix needs Python 3.11 or later" >&2
            exit 1
        fi
        if ! python3 -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
            echo "setup: python3 is $(python3 -c 'import platform; print(platform.python_version())');" \
                 "varnix needs Python 3.11 or later: put a newer python3 first on PATH" >&2
            exit 1
        fi
        echo "setup: creating the virtual environment .venv"
        if ! python3 -m venv .venv >/dev/null 2>&1; then
            rm -rf .venv
            echo "setup: python3 cannot make a virtual environment ('python3 -m venv' failed);" \
                 "on Debian install the package python3-venv (apt-get install python3-venv)" >&2
            exit 1
        fi
    fi
    local args=()
    for req in "$@"; do args+=(-r "$req"); done
    [ ${#args[@]} -eq 0 ] && return 0
    echo "setup: installing the Python packages of $* into .venv (minutes the first time)"
    .venv/bin/python -m pip install -q --disable-pip-version-check "${args[@]}"
}
