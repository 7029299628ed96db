#!/usr/bin/env bash
# The tray on a real (headless) desktop: Xvfb, a private D-Bus, xfwm4 and
# xfce4-panel as a StatusNotifierItem host, then trayer as an XEmbed tray.
# The fake engine drives the Telnet server's link; clicks go through
# xdotool; the icon is found by its flat colour in screenshots, which are
# kept in the output folder.  Exits 77 (skipped) where the desktop packages
# are missing.
#
# Usage: tray_test.sh HARVOX FAKE_ENGINE OUTPUT_DIR
set -uo pipefail
for tool in Xvfb xfwm4 xfce4-panel trayer xdotool xwininfo import dbus-daemon dbus-send; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (scripts/setup.sh installs the desktop test's packages)"
    exit 77
  fi
done
harvox=$(realpath "$1") engine_tool=$(realpath "$2") out=$3
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d /tmp/harvox-desktop-XXXXXX)
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  sleep 0.3
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -9 "${pids[i]}" 2>/dev/null; done
  cp "$work"/*.out "$work"/*.log "$work"/run/HARVOX.LOG "$out/" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# GTK's own leaks are not ours to report; memory errors still abort.
export ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0

. "$(dirname "$0")/checks.sh"
t0=$SECONDS
shot() { import -window root "$out/$1.png" 2>/dev/null; }

BLUE=1F5FDF GREEN=1FBF3F
# Centre "x y" of the pixels of one icon colour in the top 40 rows.
find_colour() {
  import -window root -crop 800x40+0+0 -depth 8 txt:- 2>/dev/null |
    awk -v c="#$1" 'index($0, c) { split($1, p, /[,:]/); x += p[1]; y += p[2]; n++ }
                    END { if (n >= 20) printf "%d %d\n", x / n, y / n }'
}
has_colour() { [ -n "$(find_colour "$1")" ]; }
no_icon() { ! has_colour $BLUE && ! has_colour $GREEN; }
window() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1; }
has_window() { [ -n "$(window "$1")" ]; }
no_window() { [ -z "$(window "$1")" ]; }
running() { [ -r "/proc/$1/stat" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
reap() {  # seconds: waits for Harvox to end, sets status
  wait_until "$1" eval '! running $hpid' || kill -9 "$hpid"
  wait "$hpid"
  status=$?
}
log_has() { grep -qF "$1" "$run/HARVOX.LOG"; }
# The tool tip a StatusNotifierItem host shows: our item's Title.
sni_title() {
  local item
  item=$(dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
    string:RegisteredStatusNotifierItems 2>/dev/null | grep -o '"[^"]*harvox[^"]*"' | tr -d '"' | tail -1)
  [ -n "$item" ] && dbus-send --session --print-reply --dest="${item%%/*}" "/${item#*/}" \
    org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierItem string:Title 2>/dev/null |
    sed -n 's/.*string "\(.*\)"$/\1/p'
}
tip_is() { [ "$(sni_title)" = "Harvox - engine 127.0.0.1:$engine_port $1" ]; }

# A click inside a window, at x,y relative to its client area.
click_in() {
  local w x y
  w=$(window "$1") || return 1
  eval "$(xdotool getwindowgeometry --shell "$w")"
  x=$(xwininfo -id "$w" | awk '/Absolute upper-left X/ { print $NF }')
  y=$(xwininfo -id "$w" | awk '/Absolute upper-left Y/ { print $NF }')
  xdotool mousemove $((x + $2)) $((y + $3)) click 1
}
# The frame's close button, at the top right of the window decoration.
click_close() {
  local w x y wd rx ry
  w=$(window "$1") || return 1
  read -r x y wd rx ry < <(xwininfo -id "$w" | awk '
    /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
    /Relative upper-left X/ { rx = $NF } /Relative upper-left Y/ { ry = $NF }
    /Width/ { w = $NF } END { print x, y, w, rx, ry }')
  xdotool mousemove $((x + wd - 8)) $((y - ry / 2)) click 1
}
# Opens the icon's menu and picks entry n (1 = first).
visible_windows() { xdotool search --onlyvisible --name '' 2>/dev/null | wc -l; }
menu_pick() {
  local pos keys=() i
  pos=$(find_colour $BLUE)
  [ -n "$pos" ] || pos=$(find_colour $GREEN)
  [ -n "$pos" ] || return 1
  local before
  before=$(visible_windows)
  # shellcheck disable=SC2086
  xdotool mousemove $pos click 3
  # The menu (ours or the panel's) is a new window: wait for it, however
  # busy the machine is.
  wait_until 20 eval 'test "$(visible_windows)" -gt "$before"'
  sleep 0.3
  for ((i = 0; i < $1; i++)); do keys+=(Down); done
  [ "${2:-}" = shot ] && shot "$3"
  xdotool key "${keys[@]}" Return
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# --- the desktop -------------------------------------------------------------
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
export XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml" "$XDG_DATA_HOME/applications"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
cp "$here/panel.xml" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml"
# The "browser" records what it was asked to open.
printf '#!/bin/sh\necho "$1" >> %s/browser.log\n' "$work" > "$work/browser.sh"
chmod +x "$work/browser.sh"
printf '[Desktop Entry]\nType=Application\nName=Recorder\nExec=%s/browser.sh %%u\nMimeType=text/html;\n' \
  "$work" > "$XDG_DATA_HOME/applications/harvox-test-browser.desktop"
printf '[Default Applications]\ntext/html=harvox-test-browser.desktop\n' > "$XDG_CONFIG_HOME/mimeapps.list"

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_until 30 test -s "$work/display" || { echo "FAIL Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -1 "$work/display")
unset WAYLAND_DISPLAY SESSION_MANAGER
export NO_AT_BRIDGE=1  # no accessibility bus to start and clean up
read -r DBUS_SESSION_BUS_ADDRESS dbus_pid < <(dbus-daemon --session --fork --print-address=1 --print-pid=1 | paste -s -d ' ')
export DBUS_SESSION_BUS_ADDRESS
pids+=("$dbus_pid")
xfwm4 --compositor=off >"$work/xfwm4.log" 2>&1 &
pids+=($!)
xfce4-panel >"$work/panel.log" 2>&1 &
panel_pid=$!
pids+=("$panel_pid")
xfconfd_pid=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
  org.freedesktop.DBus.GetConnectionUnixProcessID string:org.xfce.Xfconf 2>/dev/null | awk '/uint32/ { print $2 }')
[ -n "$xfconfd_pid" ] && pids+=("$xfconfd_pid")

# --- the engine and the working directory ------------------------------------
coproc ENGINE { exec "$engine_tool"; }
pids+=("$ENGINE_PID")
read -r engine_port telnet_port <&"${ENGINE[0]}"
engine() { echo "$1" >&"${ENGINE[1]}" && read -r _ <&"${ENGINE[0]}"; }
engine stop  # the first connection fails: the icon starts blue
run=$work/run
mkdir -p "$run"
cp "$here/../../examples/HARVOX.ICO" "$run/"
cp "$(dirname "$harvox")/ZUNDRA.HTM" "$run/"  # the help page, made from the manual page
cat > "$run/HARVOX.INI" <<EOF
[HARVOX]
TRACE=1
[AGW]
PORT=$engine_port
[TELNET]
PORT=$telnet_port
NODEPORT=1
NODECALL=N0CALL
[MONITOR]
ENABLED=NO
EOF
start_harvox() {  # extra env assignments
  (cd "$run" && exec env "$@" "$harvox" --tray) >>"$work/harvox.out" 2>&1 &
  hpid=$!
  pids+=("$hpid")
}
expect_text() {  # text: reads fd 5 until it appears (20 s at most)
  timeout 20 bash -c 'while IFS= read -r -d "" -n 1 c; do s+=$c; [[ $s == *"$1"* ]] && exit 0; done; exit 1' _ "$1" <&5
}
telnet_prompt() {  # the Telnet server answers a login
  exec 5<>"/dev/tcp/127.0.0.1/$telnet_port" 2>/dev/null || return 1
  local ok=1
  expect_text "Login:" && printf 'guest\r\n' >&5 && expect_text "Password:" && ok=0
  exec 5<&-
  return $ok
}

echo "== StatusNotifierItem (xfce4-panel) =="
wait_until 30 test -n "$(xdotool search --class xfce4-panel 2>/dev/null)"
sleep 1
start_harvox
check "icon present and blue at start" wait_until 30 has_colour $BLUE
check "tool tip: engine address, down" wait_until 20 tip_is down
shot 01-sni-blue
engine start  # Harvox retries after its re-open interval (60 s); checks go on meanwhile

check "menu entry 1 opens the about box" eval 'menu_pick 1 shot 02-sni-menu && wait_until 20 has_window "Harvox for the AGWPE"'
shot 03-about
check "about box closes with OK" eval 'click_in "Harvox for the AGWPE" 148 165 && wait_until 20 no_window "Harvox for the AGWPE"'
menu_pick 1 && wait_until 20 has_window "Harvox for the AGWPE"
check "about box closes with the close button" eval 'click_close "Harvox for the AGWPE" && wait_until 20 no_window "Harvox for the AGWPE"'

check "menu entry 2 opens the help page in the browser" eval 'menu_pick 2 && wait_until 20 test -s "$work/browser.log"'
# GIO hands a browser that takes URLs a local file:// page as its path.
check "help URL, the manual page" eval 'grep -qxE "(file://)?$run/ZUNDRA.HTM" "$work/browser.log" &&
  grep -q "gateway between AX.25 packet radio" "$run/ZUNDRA.HTM"'

check "menu entry 3 asks the shutdown question" eval 'menu_pick 3 && wait_until 20 has_window "Warning!"'
shot 04-question
xdotool windowactivate --sync "$(window "Warning!")" key Escape
check "Cancel: still running, icon present" eval 'wait_until 20 no_window "Warning!" && running $hpid && has_colour $BLUE'

before=$(cpu_ticks "$hpid")
sleep 10
idle=$(($(cpu_ticks "$hpid") - before))
echo "     idle CPU over 10 s: $idle ticks of $(getconf CLK_TCK)/s"
check "idle CPU near zero (<= 5 ticks in 10 s)" test "$idle" -le 5

check "icon turns green when the engine accepts the link" wait_until 75 has_colour $GREEN
check "tool tip: engine address, up" wait_until 20 tip_is up
shot 05-sni-green
menu_pick 1 && wait_until 20 has_window "Harvox for the AGWPE"
check "Telnet login answered while the about box is open" telnet_prompt
click_in "Harvox for the AGWPE" 148 165 && wait_until 20 no_window "Harvox for the AGWPE"
engine stop
check "icon turns blue when the engine drops the link" wait_until 30 eval 'has_colour $BLUE && ! has_colour $GREEN'
check "tool tip: down again" wait_until 20 tip_is down
shot 06-sni-blue-again

menu_pick 3 && wait_until 20 has_window "Warning!"
xdotool windowactivate --sync "$(window "Warning!")" key Return
reap 10
check "Shutdown OK: exit status 0" test "$status" -eq 0
check "Shutdown OK: icon gone" wait_until 20 no_icon
check "Shutdown OK: release line in the log" log_has "{TND} Telnet Server Object Released"
shot 07-after-shutdown

echo "== configuration error =="
mv "$run/HARVOX.INI" "$work/HARVOX.INI"
start_harvox
check "error box shown" wait_until 30 has_window "Configuration Error!"
shot 08-config-error
xdotool windowactivate --sync "$(window "Configuration Error!")" key Return
reap 10
check "ends with status 1, no question" eval 'test "$status" -eq 1 && no_window "Warning!"'
check "stderr line" grep -qx "Configuration Error!: HARVOX.INI not found in $run" "$work/harvox.out"
mv "$work/HARVOX.INI" "$run/HARVOX.INI"

echo "== no display =="
engine start
(cd "$run" && exec env -u DISPLAY "$harvox" --tray) >>"$work/harvox.out" 2>"$work/harvox.err" &
hpid=$!
pids+=("$hpid")
check "runs headless, Telnet answers" wait_until 30 telnet_prompt
check "one stderr line" test "$(wc -l < "$work/harvox.err")" -eq 1
headless=$hpid && start_harvox  # the Telnet port is taken by the run above
check "start-up failure: error box shown" wait_until 30 has_window "Start-up Error!"
xdotool windowactivate --sync "$(window "Start-up Error!")" key Return
reap 10 && hpid=$headless
check "start-up failure: exit status 1" test "$status" -eq 1
kill -TERM "$hpid"
reap 10
check "SIGTERM: exit status 0" test "$status" -eq 0

echo "== XEmbed (trayer) =="
kill "$panel_pid"
wait_until 20 eval '! running $panel_pid'
trayer --edge top --align right --widthtype pixel --width 64 --height 32 --iconspacing 4 \
  >"$work/trayer.log" 2>&1 &
pids+=($!)
sleep 1
# No browser known here: the help page's failure is one log line.
mkdir -p "$work/sys"
ln -s /usr/share/mime /usr/share/icons "$work/sys/"
start_harvox XDG_DATA_HOME="$work/none" XDG_DATA_DIRS="$work/sys" XDG_CONFIG_HOME="$work/none"
check "XEmbed icon present and green (engine up)" wait_until 30 has_colour $GREEN
shot 09-xembed-green
menus() { xdotool search --onlyvisible --pid "$hpid" 2>/dev/null | wc -l; }
n0=$(menus)
# shellcheck disable=SC2046
xdotool mousemove $(find_colour $GREEN) click 1
sleep 1
check "left click opens nothing" test "$(menus)" -le "$n0"
# shellcheck disable=SC2046
xdotool mousemove $(find_colour $GREEN) click 3
check "right click opens the menu" wait_until 20 eval 'test "$(menus)" -gt "$n0"'
shot 10-xembed-menu
xdotool key Down Down Return
check "help without a browser: one log line" wait_until 20 log_has "{Tray} Help page not opened"
kill -TERM "$hpid"
reap 10
check "SIGTERM: exit status 0, release line" eval 'test "$status" -eq 0 && log_has "{TND} Telnet Server Object Released"'
check "SIGTERM: icon gone" wait_until 20 no_icon
engine quit
check "no Gtk-CRITICAL in any run" eval '! grep -q "Gtk-CRITICAL" "$work/harvox.out"'

echo "desktop test: $((SECONDS - t0)) s, screenshots in $out"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
