#!/bin/bash
# Prepares the desk in its own folder: a private Python environment (.venv)
# that can import the desk's engine, and the folders the desk keeps its
# work in. Safe to run again; a working .venv is kept as it is.
#
# Run as: /bin/bash /full/path/setup.sh   (working directory: the desk folder)

set -u
umask 022

fail() {
    echo "$1"
    exit 1
}

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)" \
    || fail "Setting up could not find the desk's own folder."
cd "$here" || fail "Setting up could not open the desk's folder $here."
echo "Setting up the desk in $here"

[[ -d engine && -f engine/desk.py && -f engine/uplink.py ]] \
    || fail "The desk's files are incomplete (the engine folder is missing). Download Quendrel again."

# The Python that makes the environment: the system's own where there is one.
base=""
for candidate in /usr/bin/python3 "$(command -v python3 2>/dev/null)"; do
    if [[ -n "$candidate" && -x "$candidate" ]] \
        && "$candidate" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 8) else 1)' 2>/dev/null; then
        base="$candidate"
        break
    fi
done

if [[ -x .venv/bin/python ]] && .venv/bin/python -c 'import sys' >/dev/null 2>&1; then
    echo "Keeping the desk's Python environment (.venv), which works."
else
    [[ -n "$base" ]] || fail "Python 3.8 or newer is needed, and none was found. Install python3 and set this computer up again."
    if [[ -e .venv || -L .venv ]]; then
        echo "The desk's Python environment does not work; making it again."
        rm -rf -- .venv || fail "The broken Python environment in $here/.venv could not be removed."
    fi
    echo "Making the desk's Python environment with $base"
    if ! out="$("$base" -m venv --without-pip .venv 2>&1)"; then
        [[ -n "$out" ]] && printf '%s\n' "$out" | tail -n 3
        fail "The desk's Python environment could not be made. On Debian or Ubuntu, install the package python3-venv and try again."
    fi
    .venv/bin/python -c 'import sys' >/dev/null 2>&1 \
        || fail "The desk's Python environment was made but does not start."
fi

# Make the engine importable from the environment wherever it is started.
site="$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])' 2>/dev/null)" \
    || fail "Could not find where the desk's Python environment keeps its packages."
mkdir -p -- "$site" || fail "Could not make the folder $site."
printf '%s\n' "$here" > "$site/quendrel-desk.pth" \
    || fail "Could not write $site/quendrel-desk.pth."
echo "The engine can be loaded from $here"

for folder in presets projects data logs; do
    mkdir -p -- "$folder" || fail "Could not make the folder $here/$folder."
done
chmod 700 presets || fail "Could not make the presets folder private."

# A last check: the pieces the desk and the pairing need must load.
if ! out="$(cd / && "$here/.venv/bin/python" -c 'import engine.uplink, engine.desk' 2>&1)"; then
    printf '%s\n' "$out" | tail -n 2
    fail "The desk's engine does not load in its Python environment."
fi
echo "The desk is ready to be connected and started."
exit 0
