#!/usr/bin/env bash
# Makes a private Wine prefix whose COM ports are under the tests' control:
#   COM1..COM4  -> PREFIX/ports/comN, symlinks a test points at its pseudo-terminals
#                  (pointing one at a missing path makes that port absent)
#   COM5..COM256 -> absent, as on a PC without them (Wine's open says "access denied" there)
# Wine maps the machine's own serial ports to COM numbers that no value names: every number
# is named here, so none of them is reachable (a test must never probe the host's ports).
# Usage: setup-prefix.sh PREFIX
set -euo pipefail
prefix=$(realpath -m "$1")
export WINEPREFIX="$prefix" WINEDEBUG=-all
if [ -f "$prefix/.fwupgrade-ports-256" ]; then exit 0; fi

make_prefix() {
  rm -rf "$prefix"
  mkdir -p "$prefix/ports"
  wineboot -i || true
  local reg="$prefix/ports.reg"
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 256); do
      if [ "$n" -le 4 ]; then target="$prefix/ports/com$n"; else target="$prefix/ports/none$n"; fi
      printf '"COM%d"="%s"\r\n' "$n" "$target"
    done
  } > "$reg"
  wine regedit /S "$reg" || return 1
  wineserver -w
  # Restart so the mount manager maps the ports from the values just written.
  wine cmd /c exit || true
  wineserver -k || true
  wineserver -w || true
}

# Wine's first start in a new prefix failed once on a loaded machine (what it said was thrown
# away): once more, and if that fails too, what Wine said.
log=$(mktemp "${TMPDIR:-/tmp}/fwupgrade-wineprefix.XXXXXX")
trap 'rm -f "$log"' EXIT
if ! make_prefix >"$log" 2>&1 && ! make_prefix >>"$log" 2>&1; then
  echo "setup-prefix.sh: could not make the Wine prefix $prefix; Wine said:" >&2
  tail -40 "$log" >&2
  exit 1
fi
for n in $(seq 1 256); do
  dev="$prefix/dosdevices/com$n"
  if [ "$n" -le 4 ]; then
    rm -rf "$dev"; ln -s "$prefix/ports/com$n" "$dev"
  else
    rm -rf "$dev"; mkdir "$dev" # a directory: CreateFileA fails as for a missing port
  fi
done
touch "$prefix/.fwupgrade-ports-256"
