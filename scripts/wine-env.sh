# Sourced by the test and demo scripts: a display, a cached Wine prefix with one
# virtual desktop, and one persistent wineserver for the whole run.
#   zq_wine_start   sets everything up (idempotent within one shell)
#   zq_wine_stop    stops what zq_wine_start started
#   zq_probe_x86    whether 32-bit programs run here (ZQ_X86_RUNS, ZQ_X86_WHY)
# Everything lives under $ZQ_CACHE (default ~/.cache/zenquilostudent), outside the repository.

ZQ_CACHE=${ZQ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zenquilostudent}
export WINE=${WINE:-/usr/lib/wine/wine64}
export WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX=${WINEPREFIX:-$ZQ_CACHE/wine}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install dialog while the prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
ZQ_DESKTOP_SIZE=${ZQ_DESKTOP_SIZE:-800x600}

zq_started_xvfb=""

zq_log() { printf '[wine-env] %s\n' "$*" >&2; }

zq_start_display() {
  if [ -n "${DISPLAY:-}" ]; then
    return 0
  fi
  local n
  for n in $(seq 91 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      zq_started_xvfb=$!
      export DISPLAY=":$n"
      local i
      for i in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && return 0
        sleep 0.05
      done
      zq_log "Xvfb on :$n did not come up"
      return 1
    fi
  done
  zq_log "no free X display number"
  return 1
}

# zq_probe_x86: whether 32-bit Windows programs can run here. Some kernels of
# the machines we build on execute no 32-bit Linux program at all, so Debian's
# 32-bit Wine installs but cannot start; the only sure test is to run its
# loader. Sets and exports ZQ_X86_RUNS (yes or no) and ZQ_X86_WHY (the reason
# when no), once per run: the tests started below read the same answer.
# ZQ_NO_X86=1 answers no on any machine, to try the skip path where 32-bit
# programs do run.
zq_probe_x86() {
  if [ -n "${ZQ_X86_RUNS:-}" ]; then
    return 0
  fi
  ZQ_X86_WHY=""
  if [ "${ZQ_NO_X86:-}" = 1 ]; then
    ZQ_X86_WHY="32-bit programs switched off (ZQ_NO_X86=1)"
    ZQ_X86_RUNS=no
    export ZQ_X86_RUNS ZQ_X86_WHY
    return 0
  fi
  # An emulator registered by a smoke run that was killed would make the loader
  # start, at about a minute a process: it is ours, so it goes first.
  if [ -e /proc/sys/fs/binfmt_misc/zq-qemu-i386 ]; then
    echo -1 >/proc/sys/fs/binfmt_misc/zq-qemu-i386 2>/dev/null || true
  fi
  if [ ! -x /usr/lib/wine/wine ]; then
    ZQ_X86_WHY="32-bit Wine (wine32:i386) is not installed"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    ZQ_X86_WHY="this kernel cannot execute 32-bit programs"
  fi
  if [ -z "$ZQ_X86_WHY" ]; then ZQ_X86_RUNS=yes; else ZQ_X86_RUNS=no; fi
  export ZQ_X86_RUNS ZQ_X86_WHY
}

zq_prefix_has_x86_side() {
  [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]
}

zq_prepare_prefix() {
  # Version 3: the 64-bit prefix and its desktop. Whether it has a 32-bit side
  # is read from the prefix itself, never from a marker: a prefix made where
  # 32-bit programs cannot run has an empty syswow64, and one carried to a
  # machine that can run them is made again with its 32-bit side.
  local marker="$WINEPREFIX/.zenquilostudent-ready-3"
  zq_probe_x86
  if [ -f "$marker" ] && { [ "$ZQ_X86_RUNS" = no ] || zq_prefix_has_x86_side; }; then
    return 0
  fi
  zq_log "preparing Wine prefix $WINEPREFIX (once)"
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  env -u DISPLAY "$WINE" wineboot -i >/dev/null 2>&1 || true
  "$WINESERVER" -w
  # One virtual desktop for every program of a run: it has a notification area,
  # helpers see the program's windows, and exit codes come back to the shell.
  "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d ZenquiloTest /f >/dev/null 2>&1
  "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v ZenquiloTest /d "$ZQ_DESKTOP_SIZE" /f >/dev/null 2>&1
  "$WINESERVER" -w
  [ -d "$WINEPREFIX/drive_c/windows" ] || { zq_log "wineboot failed"; return 1; }
  if [ "$ZQ_X86_RUNS" = yes ] && ! zq_prefix_has_x86_side; then
    zq_log "wineboot made no 32-bit side, though 32-bit Wine runs"
    return 1
  fi
  touch "$marker"
}

# Chinese text (menus, message boxes, tooltips) under the UI fonts: the prefix
# has no CJK font of its own, so link the fontconfig font that
# scripts/install-packages.sh installs behind every UI face. Kept apart from
# zq_prepare_prefix, with a versioned marker, so existing prefixes get it too.
zq_prepare_fonts() {
  local marker="$WINEPREFIX/.zenquilostudent-fonts-1"
  if [ -f "$marker" ]; then
    return 0
  fi
  local link='wqy-microhei.ttc,WenQuanYi Micro Hei' face
  for face in Tahoma 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft Sans Serif' 'Segoe UI'; do
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d "$link" /f >/dev/null 2>&1 || true
  done
  touch "$marker"
}

zq_wine_start() {
  zq_start_display || return 1
  zq_prepare_prefix || return 1
  # A persistent server makes each Wine process start in a few hundredths of a second.
  # Its own output goes nowhere: when it ends it may dump its objects. One that
  # is running already (exit code 2) serves as well; the callers run with -e.
  "$WINESERVER" -p >/dev/null 2>&1 || true
  # Through the persistent server: a server of its own would still be running here.
  zq_prepare_fonts || return 1
  # Wine's own services start with the first program and inherit its output:
  # start them here, writing to nowhere, so no later reader waits on them.
  "$WINE" cmd /c exit >/dev/null 2>&1 </dev/null || true
}

zq_wine_stop() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
  if [ -n "$zq_started_xvfb" ]; then
    kill "$zq_started_xvfb" >/dev/null 2>&1 || true
    wait "$zq_started_xvfb" 2>/dev/null || true
    zq_started_xvfb=""
  fi
}
