#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly and quickly, in the project's own Wine prefix:
#   scripts/wine.sh build/windows/src/zarvi-audio-capture.exe
# With no program it only makes the prefix and starts the server.
# The prefix is made once (wineboot, 5-15 s) and a persistent wineserver is kept, so that a program
# with piped output starts in a fraction of a second. Audio goes to the PulseAudio server named by
# PULSE_SERVER; Wine's ALSA and OSS drivers are switched off, so that with no server there is no
# audio device (and no ALSA messages on the program's stderr), as on a Windows machine with none.
set -euo pipefail
export WINEPREFIX="${ZARVI_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/zarvi-wine}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=;winealsa.drv,wineoss.drv='
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64="$(command -v wine64 || command -v wine)"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"
mkdir -p "$(dirname "$WINEPREFIX")"
# Under a lock, and with the lock's descriptor closed for everything Wine starts (its server would
# otherwise hold the lock for as long as it runs).
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    env -u PULSE_SERVER "$wine64" wineboot -i >/dev/null 2>&1 9>&- || true
    "$wineserver" -w
  fi
  # A persistent server: it stays when this program ends ("-p" exits with 2 when one runs already).
  # The first program of a new server starts Wine's own system processes (services, device drivers),
  # and they keep that program's stderr open for as long as the server lives: whoever reads it would
  # never see its end. So a new server's first program is a quiet one of ours, before any other.
  if "$wineserver" -p >/dev/null 2>&1 9>&-; then
    "$wine64" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
[ "$#" -gt 0 ] || exit 0
exec "$wine64" "$@"
