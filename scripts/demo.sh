#!/usr/bin/env bash
# A whole packet station on one machine, no radio needed: two direwolf
# engines joined by a simulated radio channel, a small test node on the far
# engine, and Harvox on the near one.  Log in with any Telnet client and
# talk to the node over the (simulated) air; or be a radio station on the
# far engine (harvox-station) and reach a local echo host through Harvox's
# gateway.  Ctrl-C stops everything.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
TELNET_PORT=${TELNET_PORT:-2323}
MONITOR_PORT=${MONITOR_PORT:-8123}
AGW_A=18001
AGW_B=18002
NODE=N0NODE
GATEWAY=N0AAA-2
ECHO_PORT=${ECHO_PORT:-2424}
STATUS_PORT=${STATUS_PORT:-8124}

# Only the programs the demo runs: no tests, benchmarks or tray (build/ stays
# the test build's).
scripts/setup.sh --demo
bin=$root/build-demo
cmake -S . -B "$bin" -DCMAKE_BUILD_TYPE=Release -DHARVOX_TESTS=OFF -DHARVOX_BENCH=OFF \
  -DHARVOX_TRAY=OFF >/dev/null
cmake --build "$bin" -j"$(nproc)" --target harvox harvox-ether harvox-test-node harvox-station

demo=$(mktemp -d /tmp/harvox-demo-XXXXXX)
pids=()
cleanup() {
  trap - INT TERM EXIT
  echo
  echo "Stopping the demo..."
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill -TERM "${pids[$i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "Logs are kept in $demo"
}
trap cleanup INT TERM EXIT

listening() {  # is a TCP port in LISTEN state? (never connect: engines have few client slots)
  local hex
  hex=$(printf ':%04X ' "$1")
  grep -q "$hex.* 0A " /proc/net/tcp
}

wait_for_port() {
  for _ in $(seq 1 100); do listening "$1" && return 0; sleep 0.1; done
  echo "port $1 did not come up; see $demo" >&2
  exit 1
}

engine_conf() {  # name udp-port callsign agw-port
  cat > "$demo/$1.conf" <<CONF
ADEVICE UDP:$2 file:$1.tx
ACHANNELS 1
ARATE 48000
CHANNEL 0
MYCALL $3
MODEM 9600
TXDELAY 10
TXTAIL 3
PERSIST 255
SLOTTIME 1
AGWPORT $4
KISSPORT 0
CONF
}

mkfifo "$demo/A.tx" "$demo/B.tx"
engine_conf A 17001 N0AAA $AGW_A
engine_conf B 17002 N0BBB $AGW_B

(cd "$demo" && exec "$bin/harvox-ether" --rate 48000 --gain 0.25 --verbose \
   A.tx:17001 B.tx:17002 >ether.log 2>&1) &
pids+=($!)
for _ in $(seq 1 50); do grep -q ready "$demo/ether.log" 2>/dev/null && break; sleep 0.1; done

for s in A B; do
  (cd "$demo" && exec direwolf -c $s.conf -t 0 -q d >$s.log 2>&1) &
  pids+=($!)
done
wait_for_port $AGW_A
wait_for_port $AGW_B

"$bin/harvox-test-node" 127.0.0.1:$AGW_B $NODE >"$demo/node.log" 2>&1 &
pids+=($!)

# The host a radio station reaches through the gateway: echoes each line.
socat TCP-LISTEN:$ECHO_PORT,fork,reuseaddr,bind=127.0.0.1 EXEC:cat >"$demo/echo.log" 2>&1 &
pids+=($!)

mkdir -p "$demo/harvox"
cat > "$demo/harvox/HARVOX.INI" <<INI
[HARVOX]
TRACE=3
; CR LF line ends, so a Telnet client shows each monitored frame on its own line
CRLF=YES
[AGW]
ADDRESS=127.0.0.1
PORT=$AGW_A
[TELNET]
PORT=$TELNET_PORT
NODEPORT=1
NODECALL=$NODE
CLIENT_CALLSIGN=$GATEWAY
WELCOME=*** Harvox demo: you are about to be connected to $NODE over the air
[MONITOR]
; Each Harvox service holds one of the near engine's three client slots.
ENABLED=YES
PORT=$MONITOR_PORT
[GATEWAY]
; T at the gateway's prompt refuses this machine's own addresses unless
; allowed: the echo host is let through, nothing else here is.
ALLOW=127.0.0.1:$ECHO_PORT
[STATUS]
; Who is connected, the engine links, counters: a web page on this machine.
PORT=$STATUS_PORT
BIND=127.0.0.1
INI
cat > "$demo/harvox/USERS.INI" <<INI
[USERS]
DEMO=demo,N0AAA-5,0,1:$NODE
INI
# The gateway's texts for radio stations (welcome, help); the Telnet
# side keeps the demo's own WELCOME above.
mkdir -p "$demo/harvox/TEXT"
find examples/TEXT -maxdepth 1 -type f ! -name '*.TNS' -exec cp {} "$demo/harvox/TEXT/" \;
(cd "$demo/harvox" && exec "$bin/harvox") &
pids+=($!)
wait_for_port "$TELNET_PORT"
wait_for_port "$MONITOR_PORT"

cat <<MSG

Harvox demo is running.
  Connect:   telnet 127.0.0.1 $TELNET_PORT
  Login:     demo      Password: demo
The node $NODE greets you, echoes every line, and hangs up when you type BYE.
  Watch:     telnet 127.0.0.1 $MONITOR_PORT
shows every frame the near engine hears on the channel (the node's side of
your conversation), one line each.
  Status:    http://127.0.0.1:$STATUS_PORT/
shows who is connected, the engine links and the counters.

Be a radio station instead (in another terminal):
  $bin/harvox-station 127.0.0.1:$AGW_B N0BBB-3 $GATEWAY
At the gateway's prompt type   T 127.0.0.1:$ECHO_PORT   to reach an echo host;
? lists the commands, B leaves the prompt, Ctrl-D ends the link.
Harvox's trace log: $demo/harvox/HARVOX.LOG      Ctrl-C stops the demo.
MSG
wait "${pids[@]}"
