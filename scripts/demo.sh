#!/usr/bin/env bash
# pellora at work without the controller: installs what the build needs,
# builds the server, the virtual board rkboard-sim, the client tool zuqio and
# the Modbus/TCP gateway zuqgate and the web page zuqweb, runs the board on a pseudo-terminal and the
# server on it (with a region name, lock file and log file of their own),
# shows from a client and from a Modbus/TCP master (mbpoll, through zuqgate)
# what the server does, then polls the register-map example with the
# README's mbpoll commands, then the board on an MQTT broker of its own
# (zuqmqtt, mosquitto_sub, mosquitto_pub), then stops everything and leaves
# nothing behind.
# BUILD_DIR chooses the build directory (default build-demo), configured
# without the tests and benchmarks, whose libraries the demo does not install.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-demo}

say() { printf '\n== %s\n' "$*"; }

bash scripts/deps.sh --demo

say "Building pellora, rkboard-sim, zuqio, zuqgate, zuqweb and the register-map example in $build/"
work=$(mktemp -d /tmp/pellora-demo.XXXXXX)
board_pid='' server_pid='' gate_pid='' web_pid='' device_pid='' broker_pid='' mqtt_pid='' sub_pid=''
export PELLORA_SHM_NAME=/pellora-demo-$$
export PELLORA_LOCK_FILE=$work/pellora.pid
export FIELDBUS_COM1=$work/board

cleanup() {
  exec 3>&- 4>&- 2>/dev/null || true
  for pid in $sub_pid $mqtt_pid $broker_pid $device_pid $web_pid $gate_pid $server_pid $board_pid; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  done
  rm -f "/dev/shm$PELLORA_SHM_NAME" "/dev/shm$PELLORA_SHM_NAME.health"
  rm -rf "$work"
}
trap cleanup EXIT

start=$SECONDS
if ! { cmake -S . -B "$build" -DFIELDBUS_TESTS=OFF -DFIELDBUS_BENCH=OFF &&
  cmake --build "$build" -j"$(nproc)" --target pellora rkboard-sim zuqio zuqgate example_map_device zuqmqtt zuqweb; } >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log"
  exit 1
fi
echo "built in $((SECONDS - start)) s"
bin=$build/bin

# Shows a client command, then runs it.
client() {
  printf '$ zuqio %s\n' "$*"
  "$bin/zuqio" "$@" | sed 's/^/  /'
}

# Sends one command line to the virtual board and shows its one-line reply.
board() {
  local before
  before=$(wc -l <"$work/board.out")
  printf 'board> %s\n' "$*"
  echo "$*" >&3
  for _ in $(seq 100); do
    (($(wc -l <"$work/board.out") > before)) && break
    sleep 0.05
  done
  sed -n "$((before + 1))p" "$work/board.out" | sed 's/^/  /'
}

# Waits up to three seconds until `zuqio get ...` prints the expected line,
# then shows the command and what it printed.
client_until() {
  local want=$1 got=''
  shift
  for _ in $(seq 60); do
    got=$("$bin/zuqio" "$@")
    [[ $got == "$want" ]] && break
    sleep 0.05
  done
  printf '$ zuqio %s\n  %s\n' "$*" "$got"
}

say "The virtual board: rkboard-sim, board 0C2A, linked at $FIELDBUS_COM1"
mkfifo "$work/board.in" "$work/server.in"
"$bin/rkboard-sim" --board 0C2A --link "$FIELDBUS_COM1" --trace "$work/trace" \
  <"$work/board.in" >"$work/board.out" 2>&1 &
board_pid=$!
exec 3>"$work/board.in"
for _ in $(seq 100); do [[ -s $work/board.out ]] && break; sleep 0.05; done
sed 's/^/  /' "$work/board.out"
board set coil 0 1 0 0 1

say "The server: pellora on COM port 1 = the board's link, region $PELLORA_SHM_NAME"
"$bin/pellora" -l "$work/pellora.log" <"$work/server.in" >"$work/server.out" 2>&1 &
server_pid=$!
exec 4>"$work/server.in"
for _ in $(seq 100); do grep -q 'rk-board ID=' "$work/server.out" && break; sleep 0.05; done
sleep 0.2
sed 's/^/  /' "$work/server.out"
echo

say "The board and its layout, as a client sees them in the region"
client show

say "An input changes on the board and appears in the region"
board set di 33 1
client_until "di 33: 1" get di 33
board set ir 1 1234
client_until "ir 1: 1234" get ir 1

say "A client writes outputs; the server carries them to the board"
client set coil 2 1
board get coil 0 4
client set hr 33 4660
board get hr 32 2

say "A client reads beyond the mirrored range: the server fetches it on demand"
board set ir 100 7 8 9
client read ir 100 3

say "The board on the network: zuqgate serves the region as a Modbus/TCP slave"
"$bin/zuqgate" -a 127.0.0.1 -p 0 >"$work/gate.out" 2>&1 &
gate_pid=$!
port=''
for _ in $(seq 100); do
  port=$(sed -n 's/^zuqgate: listening on 127.0.0.1 port \([0-9]*\)$/\1/p' "$work/gate.out")
  [[ -n $port ]] && break
  sleep 0.05
done
[[ -n $port ]] || { cat "$work/gate.out"; exit 1; }
sed 's/^/  /' "$work/gate.out"
# Shows an mbpoll command (one poll, 0-based addresses), then runs it.
master() {
  printf '$ mbpoll -m tcp -p %s -a 1 -1 -0 %s\n' "$port" "$*"
  { mbpoll -m tcp -p "$port" -a 1 -1 -0 "$@" 2>&1 || true; } |
    sed -n '/^\[/p; /^Written/p; /failed/p' | sed 's/^/  /'
}
board set ir 2 4321
for _ in $(seq 60); do # until the server's next cycle has mirrored it
  mbpoll -m tcp -p "$port" -a 1 -1 -0 -t 3 -r 2 127.0.0.1 2>/dev/null | grep -q '4321' && break
  sleep 0.05
done
master -t 3 -r 0 -c 4 127.0.0.1
master -t 0 -r 1 127.0.0.1 1
sleep 0.2  # the write goes to the board in the cycle that took it
board get coil 0 4
echo "  a read outside the board's range gets exception 2:"
master -t 3 -r 200 127.0.0.1
kill -TERM "$gate_pid" && wait "$gate_pid" || true
gate_pid=''

say "The board in a browser: zuqweb serves a live page, JSON and metrics"
"$bin/zuqweb" -a 127.0.0.1 -p 0 >"$work/web.out" 2>&1 &
web_pid=$!
web_port=''
for _ in $(seq 100); do
  web_port=$(sed -n 's/^zuqweb: listening on 127.0.0.1 port \([0-9]*\)$/\1/p' "$work/web.out")
  [[ -n $web_port ]] && break
  sleep 0.05
done
[[ -n $web_port ]] || { cat "$work/web.out"; exit 1; }
sed 's/^/  /' "$work/web.out"
echo "  the page: http://127.0.0.1:$web_port/ (open it in a browser while the demo runs)"
for _ in $(seq 60); do # until zuqweb has copied the region once
  curl -s "http://127.0.0.1:$web_port/api/status" | grep -q '"state":"cycling"' && break
  sleep 0.05
done
printf '$ curl http://127.0.0.1:%s/api/status\n' "$web_port"
curl -s "http://127.0.0.1:$web_port/api/status" | sed 's/^/  /'
printf '$ curl http://127.0.0.1:%s/metrics | grep -v "^#"\n' "$web_port"
curl -s "http://127.0.0.1:$web_port/metrics" | grep -v '^#' | sed 's/^/  /'
kill -TERM "$web_pid" && wait "$web_pid" || true
web_pid=''

say "A device of your own: examples/map_device.c, polled as the README shows"
device_port=''
for try_port in $(seq 1502 1540); do # 1502 first, as in the README
  "$bin/example_map_device" tcp "$try_port" >"$work/device.out" 2>&1 &
  device_pid=$!
  for _ in $(seq 100); do
    grep -q '^serving' "$work/device.out" && break
    kill -0 "$device_pid" 2>/dev/null || break
    sleep 0.05
  done
  grep -q '^serving' "$work/device.out" && { device_port=$try_port; break; }
  wait "$device_pid" 2>/dev/null || true
  device_pid=''
done
[[ -n $device_port ]] || { cat "$work/device.out"; exit 1; }
sed 's/^/  /' "$work/device.out"
for args in "-1 -t 4 -r 1 127.0.0.1 1234 5678" "-1 -t 4 -r 1 -c 3 127.0.0.1" "-1 -t 3 -r 1 127.0.0.1"; do
  printf '$ mbpoll -m tcp -p %s %s\n' "$device_port" "$args"
  # shellcheck disable=SC2086 # the words of one command line
  { mbpoll -m tcp -p "$device_port" $args 2>&1 || true; } |
    sed -n '/^\[/p; /^Written/p; /failed/p' | sed 's/^/  /'
done
kill -TERM "$device_pid" && wait "$device_pid" || true
device_pid=''

say "The board on an MQTT broker: zuqmqtt, with a mosquitto of the demo's own on loopback"
port=''
for candidate in $(shuf -i 20000-60000 -n 20); do
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$candidate" >"$work/broker.conf"
  mosquitto -c "$work/broker.conf" >"$work/broker.out" 2>&1 &
  broker_pid=$!
  for _ in $(seq 40); do
    grep -q 'listen socket on port' "$work/broker.out" && break
    kill -0 "$broker_pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$broker_pid" 2>/dev/null && grep -q 'listen socket on port' "$work/broker.out"; then
    port=$candidate
    break
  fi
  wait "$broker_pid" 2>/dev/null || true
  broker_pid=''
done
[[ -n $port ]] || { echo "no free port for the broker"; exit 1; }
echo "  mosquitto on 127.0.0.1 port $port"
"$bin/zuqmqtt" -h 127.0.0.1 -p "$port" -t demo/board >"$work/mqtt.out" 2>&1 &
mqtt_pid=$!
mosquitto_sub -h 127.0.0.1 -p "$port" -v -t 'demo/board/#' >"$work/sub.out" 2>&1 &
sub_pid=$!
for _ in $(seq 100); do grep -q '^demo/board/health ' "$work/sub.out" && break; sleep 0.05; done
echo '$ mosquitto_sub -v -t "demo/board/#"   (the retained image, a few of its lines)'
grep -E '^demo/board/(status|di/3[2-5]|coil/[0-3]|ir/[0-3]) ' "$work/sub.out" | sed 's/^/  /'
# Waits up to three seconds until the subscriber has printed the line.
sub_until() {
  for _ in $(seq 60); do grep -qx "$1" "$work/sub.out" && break; sleep 0.05; done
  grep -x "$1" "$work/sub.out" | tail -n 1 | sed 's/^/  /'
}
echo "  an input changes on the board, the subscriber sees it:"
board set di 34 1
sub_until 'demo/board/di/34 1'
echo '$ mosquitto_pub -t demo/board/coil/3/set -m off'
mosquitto_pub -h 127.0.0.1 -p "$port" -t demo/board/coil/3/set -m off
sub_until 'demo/board/coil/3 0'
board get coil 0 4
kill -TERM "$mqtt_pid" && wait "$mqtt_pid" || true
mqtt_pid=''
sub_until 'demo/board/status offline'
for pid in $sub_pid $broker_pid; do kill -TERM "$pid" && wait "$pid" 2>/dev/null || true; done
sub_pid='' broker_pid=''

say "Stopping: the console's exit command, then the board"
echo exit >&4
wait "$server_pid" && status=0 || status=$?
server_pid=''
tail -n 1 "$work/server.out" | sed 's/^/  /'
echo "  pellora ended with status $status"
board quit
wait "$board_pid" || true
board_pid=''
exec 3>&- 4>&-

left=()
[[ -e /dev/shm$PELLORA_SHM_NAME ]] && left+=("region $PELLORA_SHM_NAME")
[[ -L $FIELDBUS_COM1 ]] && left+=("link $FIELDBUS_COM1")
if ((${#left[@]})); then
  echo "left behind: ${left[*]}"
  exit 1
fi
echo "  region removed, link removed; the scratch directory goes now"
