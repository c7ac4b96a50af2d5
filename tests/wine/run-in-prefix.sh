#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's private prefix (build/wineprefix),
# set up on first use with COM ports under the tests' control.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${FWUPGRADE_WINEPREFIX:-$here/../../build/wineprefix}"
export WINEDEBUG=-all
"$here/setup-prefix.sh" "$WINEPREFIX"
exec wine "$@"
