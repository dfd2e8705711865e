# Shell helpers for running our Windows binaries under Wine in a private prefix.
# Source this file; every function acts on $WINEPREFIX only.

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

# wine_use_prefix DIR: select DIR as the prefix and create it on first use.
wine_use_prefix() {
  export WINEPREFIX="$1"
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # Two test processes may ask for the same new prefix at once.
    (
      flock 9
      if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w
      fi
    ) 9>"$WINEPREFIX.lock"
  fi
}

# wine_start_session: boot the prefix's system processes detached, so that
# they never hold the caller's stdout/stderr open.
wine_start_session() {
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# wine_keep_server: a persistent wineserver, so that services outlive the
# last ordinary process. Exit status 2 means one is already running.
wine_keep_server() {
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine_start_session
}

# wine_stop_server: end every process of this prefix and its wineserver.
wine_stop_server() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
}

# wine_path LINUXPATH: the same path as Windows programs see it (Z: drive).
wine_path() {
  local p
  p=$(readlink -f "$1")
  printf 'Z:%s' "${p//\//\\}"
}
