#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 interpreter, or fails.
# Tries, in order: $PYTHON, python3.13 on PATH (a pyenv shim may refuse to run
# until a version is selected), pyenv's own 3.13 installs, Debian's interpreter.
set -u

works() {
    "$@" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

emit() {
    # Resolve to the real executable so that a pyenv shim is not needed later.
    "$@" -c 'import sys; print(sys.executable)'
    exit 0
}

if [ -n "${PYTHON:-}" ] && works "$PYTHON"; then emit "$PYTHON"; fi
if command -v python3.13 >/dev/null 2>&1 && works python3.13; then emit python3.13; fi
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root 2>/dev/null)
    for candidate in "$root"/versions/3.13*/bin/python3.13; do
        [ -x "$candidate" ] && works "$candidate" && emit "$candidate"
    done
fi
for candidate in "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    [ -x "$candidate" ] && works "$candidate" && emit "$candidate"
done
echo "error: no working CPython 3.13 found (set PYTHON=/path/to/python3.13)" >&2
exit 1
