#!/usr/bin/env bash
# The status page in a real browser: Harvox runs against the fake engine
# with a user logged in over Telnet; headless Chromium takes a screenshot of
# the page (it must exist, have the window's size and not be blank) and
# dumps the page's DOM (the user's row must be in it).  The screenshot and
# the DOM are kept in the output folder.  Exits 77 (skipped) where Chromium
# or ImageMagick is missing.
#
# Usage: status_page_test.sh HARVOX FAKE_ENGINE OUTPUT_DIR
set -uo pipefail
browser=$(command -v chromium || command -v chromium-browser)
if [ -z "$browser" ] || ! command -v identify >/dev/null || ! command -v convert >/dev/null; then
  echo "SKIP: chromium or ImageMagick is missing (scripts/setup.sh installs them)"
  exit 77
fi
harvox=$(realpath "$1") engine_tool=$(realpath "$2") out=$3
rm -rf "$out" && mkdir -p "$out"
work=$(mktemp -d /tmp/harvox-status-XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  cp "$work"/run/HARVOX.LOG "$work"/*.out "$out/" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "$0")/checks.sh"

coproc ENGINE { exec "$engine_tool" 2; }
pids+=("$ENGINE_PID")
read -r engine_port telnet_port status_port <&"${ENGINE[0]}"
run=$work/run
mkdir -p "$run"
cat > "$run/HARVOX.INI" <<INI
[HARVOX]
TRACE=1
[AGW]
PORT=$engine_port
[TELNET]
PORT=$telnet_port
BIND=127.0.0.1
NODEPORT=1
NODECALL=N0NODE
[MONITOR]
ENABLED=NO
[STATUS]
PORT=$status_port
INI
printf '[USERS]\r\nSYSOP=secret,G4XYZ-3,0,1:N0NODE\r\n' > "$run/USERS.INI"
(cd "$run" && exec "$harvox") >"$work/harvox.out" 2>&1 &
pids+=("$!")
log_has() { grep -qF "$1" "$run/HARVOX.LOG" 2>/dev/null; }
check "the page listens" wait_until 30 log_has "{Status} Status page on http://127.0.0.1:$status_port/"
check "the engine link is up" wait_until 30 log_has "Connected with AGWPE"

expect_text() {  # text: reads fd 5 until it appears (20 s at most)
  timeout 20 bash -c 'while IFS= read -r -d "" -n 1 c; do s+=$c; [[ $s == *"$1"* ]] && exit 0; done; exit 1' _ "$1" <&5
}
login() {
  exec 5<>"/dev/tcp/127.0.0.1/$telnet_port" || return 1
  expect_text "Login:" && printf 'sysop\r\n' >&5 && expect_text "Password:" && printf 'secret\r\n' >&5 &&
    expect_text "Users logged in."
}
check "a user logs in over Telnet" login

url=http://127.0.0.1:$status_port/
chrome() {
  timeout 90 "$browser" --headless --no-sandbox --disable-gpu --no-first-run --disable-extensions \
    --user-data-dir="$work/profile" "$@" 2>>"$work/chromium.out"
}
shot=$out/status-page.png
chrome --window-size=1024,768 --screenshot="$shot" "$url" >/dev/null
check "the screenshot is made, 1024x768" test "$(identify -format '%w %h' "$shot" 2>/dev/null)" = "1024 768"
check "the screenshot is not blank" test "$(convert "$shot" -format %k info: 2>/dev/null || echo 0)" -gt 8
chrome --dump-dom "$url" >"$out/status-page.html"
dom_has() { grep -qF "$1" "$out/status-page.html"; }
check "the DOM shows the user's row" dom_has "<td>SYSOP</td><td>G4XYZ-3</td><td>127.0.0.1</td>"
check "the DOM shows the engine link up" dom_has '<span class="up">up</span>'
exec 5<&-

echo "screenshot: $shot"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
