#!/bin/sh
# Installs the korvel package the way README.md says, into a fresh virtual
# environment that sees the system's packages (python3-can, pytest) and
# changes nothing outside WORK.
#   install.sh PYTHON SOURCE WORK LIBRARY
set -eu
python=$1 source=$2 work=$3 library=$4
rm -rf "$work/venv" "$work/source"
mkdir -p "$work"
# A copy, so that the build leaves nothing in the source tree.
cp -R "$source" "$work/source"
"$python" -m venv --system-site-packages "$work/venv"
KORVEL_LIBRARY=$library "$work/venv/bin/python" -m pip install --quiet --no-index \
    --no-build-isolation --no-deps "$work/source"
"$work/venv/bin/python" -c "import can, korvel; print('installed korvel', korvel.__version__)"
