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

# Creates .venv when absent and installs the given requirement files in it.
ensure_venv() {
    [ -x .venv/bin/python ] || python3 -m venv .venv
    local args=()
    for req in "$@"; do args+=(-r "$req"); done
    [ ${#args[@]} -eq 0 ] || .venv/bin/python -m pip install -q --disable-pip-version-check "${args[@]}"
}
