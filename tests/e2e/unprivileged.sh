#!/usr/bin/env bash
# Runs the end-to-end suite as an ordinary user: run as root, it copies what the suite needs
# into a fresh folder that user can read and drops to "nobody" (root passes checks, such as an
# exclusive port, that lock out everybody else). Run as any other user, it runs the suite.
# Usage (the environment of harness.py): unprivileged.sh python3 tests/e2e/SUITE.py (suite.py, test_page.py, ...)
set -euo pipefail
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then exec "$@"; fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/fwupgrade-e2e-user-XXXXXX)
trap 'umount "$work/small" 2>/dev/null; rm -rf "$work"' EXIT
# A small file system of its own, for the tests of a disk that fills (where mounts are allowed).
small=""
mkdir "$work/small" && mount -t tmpfs -o size=8m,uid=nobody,gid=nogroup tmpfs "$work/small" 2>/dev/null &&
  small="$work/small"
mkdir -p "$work/tests" "$work/bin" "$work/images"
cp -r "$here/../e2e" "$here/../oracle" "$here/../golden" "$work/tests/"
cp "$FWUPGRADE" "$EMULATOR" ${SERIAL_SHIM:+"$SERIAL_SHIM"} "$work/bin/"
cp "$IMAGE_DIR"/* "$work/images/"
chmod -R a+rX "$work"
# What a suite keeps (WEB_ARTIFACTS: the page's screenshot) is written there, then copied back.
artifacts=""
if [ -n "${WEB_ARTIFACTS:-}" ]; then
  artifacts="$work/artifacts"
  mkdir -p "$artifacts" "$WEB_ARTIFACTS"
  chmod 777 "$artifacts"
fi
python=$1 # the system's own where there is one: a python under root's home is out of reach
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
suite=$(basename "$2")
shift 2 # the suite's own path is replaced by its copy
status=0
setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env \
  env HOME=/tmp FWUPGRADE="$work/bin/$(basename "$FWUPGRADE")" EMULATOR="$work/bin/$(basename "$EMULATOR")" \
      IMAGE_DIR="$work/images" SERIAL_SHIM="${SERIAL_SHIM:+$work/bin/$(basename "$SERIAL_SHIM")}" DIVISOR="$DIVISOR" SUITE="$SUITE" SAMPLE_IMAGES="$SAMPLE_IMAGES" SMALL_DISK="$small" \
      E2E_JOBS="${E2E_JOBS:-1}" WEB_ARTIFACTS="$artifacts" "$python" "$work/tests/e2e/$suite" "$@" || status=$?
[ -z "$artifacts" ] || cp -r "$artifacts/." "$WEB_ARTIFACTS/"
exit "$status"
