# Shell helpers for running our Windows binaries under Wine in a private prefix.
# Source this file, pick the architecture (wine_select_arch or wine_select_build),
# then every function acts on $WINEPREFIX only.

export WINEDEBUG=-all
# No Mono or Gecko installers, and no menu or file-type entries under $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# wine_select_arch win32|win64: the Wine loader and the prefix kind for a
# build of that architecture. The loader is named explicitly: Debian's `wine`
# wrapper picks the 32-bit one whenever it is installed, even on a host that
# cannot run it.
wine_select_arch() {
  case "$1" in
    win32) WINELOADER=/usr/lib/wine/wine ;;
    win64) WINELOADER=/usr/lib/wine/wine64 ;;
    *) echo "wine-env: unknown Wine architecture '$1'" >&2; return 1 ;;
  esac
  export WINEARCH=$1 WINELOADER
}

# wine_select_build DIR: the architecture the build tree DIR was made for.
wine_select_build() {
  local VEXA_WINE_ARCH='' VEXA_BINUTILS_PREFIX=''
  [ -f "$1/vexa-build.env" ] && . "$1/vexa-build.env"
  [ -n "$VEXA_WINE_ARCH" ] || { echo "wine-env: $1 is not a configured build tree" >&2; return 1; }
  wine_select_arch "$VEXA_WINE_ARCH"
}

# wine PROGRAM ARGS...: the selected loader, never the wrapper on PATH. One of
# Wine's own programs named bare (cmd, reg, sc, msiexec) is given by its full
# path: named bare, Wine launches it through start.exe, a second Wine process
# for every launch (about a second each under emulation).
wine() {
  local program=${1:?wine: no program}
  case "$program" in *[/\\.]*) ;; *) program="C:\\windows\\system32\\$program.exe" ;; esac
  "${WINELOADER:?wine-env: select a Wine architecture first}" "$program" "${@:2}"
}

# wine_use_prefix DIR: select DIR as the prefix and create it on first use,
# as a copy of one freshly booted prefix per folder ("template" beside DIR):
# a copy takes about a second, a boot ten (minutes under emulation).
wine_use_prefix() {
  export WINEPREFIX="$1"
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  local template
  template="$(dirname "$WINEPREFIX")/template"
  # Two test processes may ask for the same new prefix at once.
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] && exit 0
    wine_make_template "$template" || exit 1
    rm -rf "$WINEPREFIX" "$WINEPREFIX.new"
    wine_copy_prefix "$template" "$WINEPREFIX.new" && mv "$WINEPREFIX.new" "$WINEPREFIX"
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine-env: no prefix made at $WINEPREFIX" >&2; exit 1; }
  ) 9>"$WINEPREFIX.lock"
}

# wine_make_template DIR: a freshly booted prefix at DIR, unless one is there.
wine_make_template() {
  local template=$1
  [ -f "$template/system.reg" ] && return 0
  mkdir -p "$(dirname "$template")"
  (
    flock 8
    if [ ! -f "$template/system.reg" ]; then
      # Booted aside and moved in whole: a boot killed halfway leaves no template.
      rm -rf "$template" "$template.new"
      mkdir -p "$template.new"
      WINEPREFIX=$template.new wine wineboot -i </dev/null >/dev/null 2>&1 || true
      WINEPREFIX=$template.new wineserver -w
      [ -f "$template.new/system.reg" ] && mv "$template.new" "$template"
    fi
  ) 8>"$template.lock"
  [ -f "$template/system.reg" ] || { echo "wine-env: no prefix booted at $template" >&2; return 1; }
}

# wine_copy_prefix TEMPLATE DEST: a copy of the prefix TEMPLATE. The system
# folders' files (nine tenths of a prefix: Wine's own DLLs and programs, the
# 32-bit ones of a 64-bit prefix, and its side-by-side assemblies, which
# nothing rewrites in place) are hard links where both lie on one file system;
# a file a test adds there is the copy's own.
wine_copy_prefix() {
  local folder linked=(drive_c/windows/system32 drive_c/windows/syswow64 drive_c/windows/winsxs)
  mkdir -p "$2" &&
    tar -C "$1" --anchored "${linked[@]/#/--exclude=./}" -cf - . | tar -C "$2" -xpf - || return 1
  for folder in "${linked[@]}"; do
    [ -d "$1/$folder" ] || continue
    cp -al "$1/$folder" "$2/$folder" 2>/dev/null || cp -a "$1/$folder" "$2/$folder" || return 1
  done
  wine_start_on_demand "$2" Eventlog NDIS nsiproxy PlugPlay
}

# wine_start_on_demand PREFIX SERVICE...: SERVICEs that start with every
# session of the prefix start on demand instead (the prefix's Wine server must
# not be running). Nothing that the tests or the demo run uses the event log,
# the network drivers or plug and play: a session then starts two Wine
# processes fewer (plugplay.exe and svchost.exe; about a quarter less
# processor time).
wine_start_on_demand() {
  local prefix=$1
  shift
  awk -v names="$*" '
    BEGIN { n = split(names, list, " "); for (i = 1; i <= n; i++) key["[System\\\\CurrentControlSet\\\\Services\\\\" list[i] "]"] = 1 }
    /^\[/ { inside = ($1 in key) }
    inside && $0 == "\"Start\"=dword:00000002" { $0 = "\"Start\"=dword:00000003" }
    { print }' "$prefix/system.reg" >"$prefix/system.reg.new" && mv "$prefix/system.reg.new" "$prefix/system.reg"
}

# wine_start_session: boot the prefix's system processes detached, so that
# they never hold the caller's stdout/stderr open.
wine_start_session() {
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# wine_keep_server: a persistent wineserver, so that services outlive the
# last ordinary process. Exit status 2 means one is already running, and with
# it the session that its first process began: no Wine launch is needed then.
wine_keep_server() {
  local status=0
  wineserver -p </dev/null >/dev/null 2>&1 || status=$?
  [ "$status" -eq 2 ] || wine_start_session
}

# wine_stop_server: end every process of this prefix and its wineserver.
wine_stop_server() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
}

# wine_session_begin: a fresh persistent session for a group of tests. Whatever
# a killed earlier run left running in this prefix ends first.
wine_session_begin() {
  wine_stop_server
  wine_keep_server
}

# wine_path LINUXPATH: the same path as Windows programs see it (Z: drive).
wine_path() {
  local p
  p=$(readlink -f "$1")
  printf 'Z:%s' "${p//\//\\}"
}
