# Sourced by the tests that run orvik-updater.exe in a real window: Wine
# drawing into a private Xvfb display, so that the tests need no desktop.
#
#   ORVIK_UPDATER_EXE  the .exe under test        (set by CTest)
#   ORVIK_WINE_GUI_DIR a folder of the build tree  (set by CTest): holds the
#                      tests' own Wine prefix
#   ORVIK_ARTIFACTS_DIR where the screenshots go    (set by CTest; default
#                      $ORVIK_WINE_GUI_DIR/artifacts)
#
# Provides: gui_start (display, Wine server, scratch folder), run_updater,
# wait_for, find_windows, log_text, screenshot, fail; everything started is
# stopped on exit. A missing tool skips the test (exit 77).

set -u

readonly SKIP=77
readonly WAIT_BOUND_S=60   # the longest any single wait of these tests may take
readonly CAPTION_RE='^Firmware for Solvane ver1\.3$'

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in Xvfb wine wineserver xdotool import iconv; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (needs xvfb, wine, xdotool, imagemagick)" >&2
    exit $SKIP
  fi
done
[ -n "${ORVIK_UPDATER_EXE:-}" ] && [ -f "$ORVIK_UPDATER_EXE" ] || fail "ORVIK_UPDATER_EXE not set or missing"
[ -n "${ORVIK_WINE_GUI_DIR:-}" ] || fail "ORVIK_WINE_GUI_DIR not set"

ARTIFACTS="${ORVIK_ARTIFACTS_DIR:-$ORVIK_WINE_GUI_DIR/artifacts}"
XVFB_PID=""
SCRATCH=""
UPDATER_PIDS=()

_gui_cleanup() {
  local pid
  for pid in "${UPDATER_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  # Ends every Wine process of this prefix, including a dialog left open by a
  # failed test, then the display.
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  [ -n "$SCRATCH" ] && rm -rf "$SCRATCH"
  return 0
}
trap _gui_cleanup EXIT

# wait_for SECONDS COMMAND...: polls COMMAND every 0.2 s until it succeeds;
# false when it has not within SECONDS.
wait_for() {
  local bound=$1
  shift
  local deadline=$((SECONDS + bound))
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

gui_start() {
  mkdir -p "$ARTIFACTS" || fail "cannot create $ARTIFACTS"
  SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/orvik-wine-gui.XXXXXX") || fail "mktemp"

  # A display of our own: Xvfb picks a free number and tells it on a pipe.
  local fifo="$SCRATCH/display"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  XVFB_PID=$!
  local number=""
  read -r -t "$WAIT_BOUND_S" number <"$fifo" || fail "Xvfb did not start"
  export DISPLAY=":$number"

  export WINEPREFIX="$ORVIK_WINE_GUI_DIR/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  # A server started earlier without this display could not open windows:
  # end it and wait until it has gone before starting one bound to $DISPLAY.
  wineserver -k >/dev/null 2>&1
  timeout "$WAIT_BOUND_S" wineserver -w >/dev/null 2>&1
  wineserver -p </dev/null >/dev/null 2>&1

  if [ ! -f "$WINEPREFIX/.orvik-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 120 wine wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot failed"
    # No window manager runs: let Wine draw the title bars itself.
    timeout "$WAIT_BOUND_S" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f \
      </dev/null >/dev/null 2>&1 || fail "cannot set Decorated=N"
    # Tahoma for the dialog's font, Marlett for the close box's glyph.
    if [ -d /usr/share/wine/fonts ]; then
      cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
    fi
    timeout "$WAIT_BOUND_S" wineserver -w
    touch "$WINEPREFIX/.orvik-ready"
    wineserver -p </dev/null >/dev/null 2>&1
  fi
}

# run_updater FOLDER ARGS...: starts FOLDER/Updater.exe in the background and
# appends its process id to UPDATER_PIDS; LAST_PID holds it.
run_updater() {
  local folder=$1
  shift
  (cd "$folder" && exec wine ./Updater.exe "$@" </dev/null >>"$SCRATCH/wine-output.txt" 2>&1) &
  LAST_PID=$!
  UPDATER_PIDS+=("$LAST_PID")
}

# find_windows: the ids of the mapped windows titled with the dialog's caption
# (the dialog and its message boxes carry the same title).
find_windows() {
  xdotool search --onlyvisible --name "$CAPTION_RE" 2>/dev/null
}

# window_count_is N: exactly N such windows are shown.
window_count_is() {
  [ "$(find_windows | wc -l)" -eq "$1" ]
}

# log_text FILE: the log's lines as UTF-8 without their time stamps.
log_text() {
  [ -f "$1" ] || return 0
  iconv -f UTF-16 -t UTF-8 "$1" | tr -d '\r' | sed -e 's/^<[^>]*> //'
}

# log_has PATTERN FILE: a line of the log matches the grep pattern.
log_has() {
  log_text "$2" | grep -q -- "$1"
}

# screenshot NAME: the whole screen into $ARTIFACTS/NAME.png.
screenshot() {
  import -window root "$ARTIFACTS/$1.png" || fail "screenshot $1"
  echo "screenshot: $ARTIFACTS/$1.png"
}

# window_size ID: "WIDTHxHEIGHT" of an X window.
window_size() {
  xdotool getwindowgeometry "$1" | sed -n 's/^ *Geometry: *//p'
}

# press KEY on window ID (activates it first: no window manager gives focus).
press() {
  xdotool windowactivate --sync "$1" >/dev/null 2>&1 || xdotool windowfocus --sync "$1" >/dev/null 2>&1
  xdotool key --clearmodifiers "$2"
}

process_gone() { ! kill -0 "$1" 2>/dev/null; }
