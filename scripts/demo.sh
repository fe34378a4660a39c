#!/bin/sh
# SPDX-License-Identifier: MIT
# Shows swipewatch at work on a private X server: starts the window on its
# virtual reader, swipes a scripted set of cards into it with msrswipe,
# switches to per-card error reporting with a mouse click, takes a picture
# after each step into $BUILD/demo, and closes the window as a desktop would.
# Run through `make demo`, which installs the packages and builds first.
set -eu

cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
OUT="$BUILD/demo"
SWIPEWATCH="$BUILD/bin/swipewatch"
MSRSWIPE="$BUILD/bin/msrswipe"
for program in "$SWIPEWATCH" "$MSRSWIPE"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is not built; run 'make demo'" >&2
    exit 1
  fi
done

# The window is designed in twips: its client area, the frame of the option
# buttons, and the "Card" button inside that frame.
FORM_W=5400 FORM_H=6045
FRAME_LEFT=240 FRAME_TOP=480 FRAME_W=4935 FRAME_H=615
CARD_LEFT=840 CARD_TOP=300 CARD_W=1275 CARD_H=195

tmp=$(mktemp -d)
xvfb_pid="" window_pid=""
cleanup() {
  if [ -n "$window_pid" ]; then kill "$window_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "demo: $*" >&2
  if [ -s "$tmp/swipewatch.log" ]; then
    echo "demo: swipewatch said:" >&2
    sed 's/^/  /' "$tmp/swipewatch.log" >&2
  fi
  exit 1
}

# Polls a shell condition for up to 30 seconds.
await() {
  what=$1
  shift
  tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# The runtime folder holds the reader's claim lock and socket; it must be the
# user's alone, and private to this run so a window elsewhere is not in the way.
mkdir -m 0700 "$tmp/run"
export XDG_RUNTIME_DIR="$tmp/run"
SOCKET="$XDG_RUNTIME_DIR/swipewatch-MCRSTUBEX.sock"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM SWIPEWATCH_DEVICES 2>/dev/null || true
# Qt logs to the journal when it has no terminal; keep its lines in the log.
export QT_FORCE_STDERR_LOGGING=1

# -displayfd: the server picks a free display and writes its number once it
# accepts connections.
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
has_display() { grep -q '^[0-9][0-9]*$' "$tmp/display" 2>/dev/null; }
await "Xvfb to start" has_display
DISPLAY=":$(cat "$tmp/display")"
export DISPLAY

"$SWIPEWATCH" >"$tmp/swipewatch.log" 2>&1 &
window_pid=$!
find_window() { window=$(xdotool search --onlyvisible --name '^MSR$' 2>/dev/null | head -n 1) && [ -n "$window" ]; }
await "the window to show" find_window
# The socket exists once the window has claimed the reader.
await "the reader to be claimed" test -S "$SOCKET"

rm -rf "$OUT"
mkdir -p "$OUT"
shot=0

# shoot NAME WHAT: a picture of the window, and the line that says what it shows.
shoot() {
  shot=$((shot + 1))
  file=$(printf '%s/%02d-%s.png' "$OUT" "$shot" "$1")
  # The window's handlers have returned; give its repaint time to reach the server.
  sleep 0.5
  import -window "$window" "$file" || fail "cannot take a picture of the window"
  printf '%-42s %s\n' "$file" "$2"
}

# swipe NAME WHAT EXPECT MSRSWIPE-OPTIONS...: one swipe, answered once the
# window has handled it; EXPECT is what the reader's answer must say about it.
# The reader is enabled right after the claim; until then it refuses swipes as
# disabled, and those are tried again.
swipe() {
  name=$1 what=$2 expect=$3
  shift 3
  tries=0
  while :; do
    if "$MSRSWIPE" --wait "$@" >"$tmp/msrswipe.out" 2>"$tmp/msrswipe.err"; then
      break
    fi
    tries=$((tries + 1))
    if grep -q 'reader is disabled' "$tmp/msrswipe.err" && [ "$tries" -lt 100 ]; then
      sleep 0.1
      continue
    fi
    fail "msrswipe $* failed: $(cat "$tmp/msrswipe.err")"
  done
  grep -q "$expect" "$tmp/msrswipe.out" ||
    fail "the reader did not read msrswipe $* as '$expect': $(cat "$tmp/msrswipe.out")"
  shoot "$name" "$what"
}

shoot started "the window on the virtual reader, before any swipe"
swipe clean "a clean test card (tracks 1 and 2)" \
  'delivered as #[0-9]*: track 1: 48 characters; track 2: 37 characters; track 3: empty' --card test
swipe track2-parity "the test card with a parity error on track 2, per-track reporting" \
  'track 2: parity error (203)' --card test --damage 2:parity
swipe backwards "the test card swiped backwards (it reads as the clean card)" \
  'track 2: 37 characters, read backwards' --card test --reverse

# The "Card" option button, found from the window's own geometry so the click
# lands at any resolution: twips scale by the window's width and height.
eval "$(xdotool getwindowgeometry --shell "$window")"
click_x=$((X + (2 * (FRAME_LEFT + CARD_LEFT) + CARD_W) * WIDTH / (2 * FORM_W)))
click_y=$((Y + (2 * (FRAME_TOP + CARD_TOP) + CARD_H) * HEIGHT / (2 * FORM_H)))
xdotool mousemove "$click_x" "$click_y" click 1
before=$file
shoot card-reporting "clicked \"Card\" at ($click_x, $click_y) in the ${WIDTH}x$HEIGHT window: per-card reporting"
# The click must have changed the pixels of the option buttons' frame.
frame="$((FRAME_W * WIDTH / FORM_W))x$((FRAME_H * HEIGHT / FORM_H))"
frame="$frame+$((FRAME_LEFT * WIDTH / FORM_W))+$((FRAME_TOP * HEIGHT / FORM_H))"
changed=$(compare -metric AE "${before}[$frame]" "${file}[$frame]" null: 2>&1 || true)
case ${changed%% *} in
  0) fail "the click on \"Card\" changed nothing in the option frame" ;;
  *[!0-9]* | "") fail "cannot compare the pictures: $changed" ;;
esac

swipe card-end-sentinel "the test card with no end sentinel on track 1, per-card reporting" \
  'track 1: end sentinel error (202)' --card test --damage 1:end

# Closed as a desktop closes it: the window releases and closes the reader and
# the program ends with status 0.
kill -TERM "$window_pid"
status=0
wait "$window_pid" || status=$?
window_pid=""
[ "$status" -eq 0 ] || fail "swipewatch ended with status $status after SIGTERM"
[ ! -e "$SOCKET" ] || fail "swipewatch left its socket behind: the reader was not released"
echo "swipewatch closed on SIGTERM with status 0 and released the reader"

kill -TERM "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=""
