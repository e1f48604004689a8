#!/bin/sh
# A real RCON client (rconclt from Debian's rcon package) against the dev server's endpoint:
# reload answers, a wrong password is refused, fifty reloads in a row all answer, garbage or a
# half packet does not stop the server, and idle clients that never authenticate cannot lock the
# admin out while an authenticated console stays open.
#   devserver_rcon_test.sh DEVSERVER RCONCLT PYTHON WORKDIR [EMULATOR]
# With EMULATOR (the Windows build under Wine) the server is stopped without a console event, so
# it cannot write its summary: that last check is left out.
set -u
devserver=$1 rconclt=$2 python=$3 work=$4 emulator=${5:-}
rm -rf "$work" && mkdir -p "$work" || exit 1
server_pid=""
fail() {
  echo "FAIL: $*" >&2
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  cat "$work/server.err" >&2 2>/dev/null
  exit 1
}

# A port that is free now: bound by the kernel's choice, then released.
port=$("$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])') ||
  fail "no free port"
password=s3cret
cat > "$work/setup.script" <<'SCRIPT'
write ArkApi/Plugins/Brimwarden/config.json
{"RconTest": {"DinosPerTick": 5}}
end
populate 50 10 30 1
SCRIPT

$emulator "$devserver" -serverkey=RconTest --dir "$work/server" --script "$work/setup.script" \
  --events "$work/events.jsonl" --rcon-port "$port" --rcon-password "$password" \
  >"$work/server.out" 2>"$work/server.err" &
server_pid=$!

# Wait (bounded) for the listener.
tries=0
until grep -q "listening" "$work/server.err" 2>/dev/null; do
  tries=$((tries + 1))
  [ $tries -gt 100 ] && fail "the server did not start listening"
  kill -0 "$server_pid" 2>/dev/null || fail "the server stopped"
  sleep 0.1
done

rcon() { timeout 20 "$rconclt" "$1@127.0.0.1:$port" "$2" 2>"$work/client.err"; }

reply=$(rcon "$password" BWD.reload) || fail "BWD.reload: exit $?"
[ "$reply" = "Config Reloaded." ] || fail "BWD.reload answered \"$reply\""

rcon wrong BWD.reload >/dev/null
code=$?
[ $code -eq 5 ] || fail "a wrong password gave exit $code, not 5 (refused)"
grep -qi "wrong password" "$work/client.err" || fail "no wrong-password message"

i=0
while [ $i -lt 50 ]; do
  reply=$(rcon "$password" BWD.reload) || fail "reload $i: exit $?"
  [ "$reply" = "Config Reloaded." ] || fail "reload $i answered \"$reply\""
  i=$((i + 1))
done

# Garbage, a size field out of range, and a client that disconnects in the middle of a packet.
timeout 20 "$python" - "$port" <<'PY' || fail "raw clients"
import socket, struct, sys
port = int(sys.argv[1])
def connect():
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    return s
s = connect(); s.sendall(b"\xff\xff\xff\x7fgarbage, not a packet"); s.recv(100); s.close()
s = connect(); s.sendall(struct.pack("<iii", 3, 1, 3)); s.recv(100); s.close()
s = connect(); s.sendall(struct.pack("<iii", 30, 1, 3) + b"s3c"); s.close()
s = connect(); s.sendall(struct.pack("<iii", 20, 9, 2) + b"BWD.reload\0\0"); r = s.recv(100); s.close()
assert r[4:12] == struct.pack("<ii", -1, 2), r  # a command before auth is refused
PY

reply=$(rcon "$password" BWD.reload) || fail "BWD.reload after garbage: exit $?"
[ "$reply" = "Config Reloaded." ] || fail "after garbage, BWD.reload answered \"$reply\""

# An authenticated console, then 40 connections that never authenticate (the endpoint holds 32):
# the real client still gets in at once, the oldest idle ones are dropped for it, the rest are
# closed after 5 seconds, and the console, idle all along, still answers.
timeout 60 "$python" - "$port" "$password" "$rconclt" <<'PY' || fail "idle connections"
import socket, struct, subprocess, sys, time
port, password, rconclt = int(sys.argv[1]), sys.argv[2], sys.argv[3]
def packet(id, type, body):
    data = body.encode() + b"\0\0"
    return struct.pack("<iii", len(data) + 8, id, type) + data
def read_packet(s):
    def exactly(n):
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            assert chunk, "closed"
            data += chunk
        return data
    size = struct.unpack("<i", exactly(4))[0]
    body = exactly(size)
    id, type = struct.unpack("<ii", body[:8])
    return id, type, body[8:-2].decode()
def closed_by_server(s, seconds):
    s.settimeout(seconds)
    try:
        return s.recv(1) == b""
    except (socket.timeout, TimeoutError):
        return False
    except ConnectionError:
        return True
console = socket.create_connection(("127.0.0.1", port), timeout=10)
console.sendall(packet(1, 3, password))
read_packet(console)
assert read_packet(console)[:2] == (1, 2), "console not authenticated"
idle = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(40)]
time.sleep(0.5)
started = time.monotonic()
reply = subprocess.run([rconclt, password + "@127.0.0.1:%d" % port, "BWD.status"],
                       capture_output=True, timeout=20)
assert reply.returncode == 0, reply
assert reply.stdout.startswith(b"Brimwarden: server key RconTest;"), reply.stdout
assert time.monotonic() - started < 4, "the client waited for a slot"
assert closed_by_server(idle[0], 2), "the oldest idle connection was not dropped"
assert all(closed_by_server(s, 8) for s in idle[-20:]), "idle connections outlived 5 s"
console.sendall(packet(7, 2, "BWD.reload"))
assert read_packet(console) == (7, 0, "Config Reloaded."), "the idle console was closed"
PY

kill "$server_pid"
wait "$server_pid"
code=$?
server_pid=""
if [ -n "$emulator" ]; then
  rm -rf "$work"
  echo "RCON client checks passed"
  exit 0
fi
[ $code -eq 0 ] || fail "the server ended with exit $code"
replies=$(grep -c '"event":"rcon","id":[-0-9]*,"text":"Config Reloaded."' "$work/events.jsonl")
[ "$replies" -eq 53 ] || fail "$replies reload replies in the events, expected 53"
tail -n 1 "$work/events.jsonl" | grep -q '"event":"summary"' || fail "no summary at the end"
rm -rf "$work"
echo "RCON client checks passed"
