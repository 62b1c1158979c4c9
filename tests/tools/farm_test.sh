#!/usr/bin/env bash
# make farm-test: rgrender-farm against a real single-node Slurm cluster that
# this script starts as root in a temporary folder (munged with the packaged
# key, slurmctld and slurmd on localhost ports) and stops by its pid files,
# however the test ends. The animated example renders as an array of four
# chunks, one of them cancelled on purpose; every frame must equal a local
# render byte for byte once the re-submission the report prints has run.
set -euo pipefail
rgrender=$(realpath "${1:?usage: farm_test.sh path/to/rgrender}")
cd "$(dirname "$0")/../.."
farm=$PWD/tools/rgrender-farm
scene=$PWD/examples/animated.json

tmp=$(mktemp -d /tmp/rg-farm.XXXXXX)
chmod 755 "$tmp"  # munged runs as its own user and checks the path to its socket
stop_daemons() {
  if [ -f "$tmp/slurm/slurmctld.pid" ]; then timeout 5 scancel --user=root 2>/dev/null || true; fi
  for pidfile in slurm/slurmd.pid slurm/slurmctld.pid munge/munged.pid; do
    [ -f "$tmp/$pidfile" ] || continue
    pid=$(cat "$tmp/$pidfile")
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$tmp"
}
trap stop_daemons EXIT
trap 'exit 130' INT TERM

passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $1"; fi
}
fail_with_logs() {
  echo "farm-test: $1" >&2
  tail -n 20 "$tmp"/slurm/*.log "$tmp"/munge/*.log >&2 || true
  exit 1
}

# Munge: the packaged key, a socket of our own.
key=/etc/munge/munge.key
[ -f "$key" ] || { mungekey --create --keyfile="$key" && chown munge:munge "$key"; }
mkdir -p "$tmp/munge" "$tmp/slurm/state" "$tmp/slurm/spool" "$tmp/out" "$tmp/local"
chown munge:munge "$tmp/munge"
runuser -u munge -- munged --key-file="$key" --socket="$tmp/munge/munge.socket" \
  --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/munge/munged.log" \
  --seed-file="$tmp/munge/munged.seed" || fail_with_logs "munged did not start"

host=$(hostname -s)
read -r ctld_port slurmd_port < <(/usr/bin/python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))')
export SLURM_CONF=$tmp/slurm/slurm.conf
cat > "$SLURM_CONF" <<EOF
ClusterName=rgfarm
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthInfo=socket=$tmp/munge/munge.socket
StateSaveLocation=$tmp/slurm/state
SlurmdSpoolDir=$tmp/slurm/spool
SlurmctldPidFile=$tmp/slurm/slurmctld.pid
SlurmdPidFile=$tmp/slurm/slurmd.pid
SlurmctldLogFile=$tmp/slurm/slurmctld.log
SlurmdLogFile=$tmp/slurm/slurmd.log
ProctrackType=proctrack/linuxproc
MailProg=/bin/true
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=render Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld || fail_with_logs "slurmctld did not start"
slurmd || fail_with_logs "slurmd did not start"
idle() { [ "$(sinfo -h -n "$host" -o %T 2>/dev/null)" = idle ]; }
for _ in $(seq 100); do idle && break; sleep 0.2; done
idle || fail_with_logs "the node did not become idle"
start=$(date +%s)

"$rgrender" "$scene" -o "$tmp/local/f_##.png" -f 0-11 -q
frames_equal() {  # frames_equal FRAME...: the farm's frames are the local ones
  for n in $(printf '%02d ' "$@"); do
    cmp -s "$tmp/local/f_$n.png" "$tmp/out/f_$n.png" || { echo "frame $n differs or is missing"; return 1; }
  done
}

# Held at submission, so one task is cancelled before it can start, whatever
# the timing; then released.
timeout 60 "$farm" "$scene" -o "$tmp/out/f_##.png" -f 0-11 --chunk 3 --cpus-per-task=1 \
  --stats "$tmp/out/stats.json" --rgrender "$rgrender" --poll 0.3 --wait --sbatch-arg=--hold \
  > "$tmp/report1" 2> "$tmp/report1.err" &
farm_pid=$!
for _ in $(seq 100); do [ -s "$tmp/report1" ] && break; sleep 0.1; done
job=$(head -n 1 "$tmp/report1")
[[ "$job" =~ ^[0-9]+$ ]] || { cat "$tmp/report1.err"; fail_with_logs "no job id printed"; }
scancel "${job}_2"
scontrol release "$job"
code=0
wait "$farm_pid" || code=$?
cat "$tmp/report1"
check "the first run fails" test "$code" = 1
check "the report names the cancelled chunk and its frames" \
  grep -q '^chunk 2 (frames 6-8): failed (.*cancelled.*missing frames 6-8' "$tmp/report1"
check "the other chunks are done" test "$(grep -c '^chunk [013] .*: done$' "$tmp/report1")" = 3
check "the finished chunks match the local render" frames_equal $(seq 0 5) 9 10 11
check "the cancelled chunk left no frame" test -z "$(ls "$tmp"/out/f_0[678].png 2>/dev/null)"
finished() { (cd "$tmp/out" && stat -c '%n %i %Y' f_0[0-5].png f_09.png f_1[01].png); }
before=$(finished)

resubmit=$(sed -n 's/^re-submit: //p' "$tmp/report1")
check "the report gives the re-submission" test -n "$resubmit"
code=0
timeout 60 bash -c "$resubmit" > "$tmp/report2" 2> "$tmp/report2.err" || code=$?
cat "$tmp/report2"
check "the re-submission renders just the missing chunk" \
  eval "test $code = 0 && grep -q '^chunk 0 (frames 6-8): done$' '$tmp/report2' &&
        grep -q '^1 of 1 chunks done$' '$tmp/report2'"
check "every frame matches the local render" frames_equal $(seq 0 11)
check "frames rendered before were left alone" \
  test "$before" = "$(finished)"
check "no temporary file is left" test -z "$(find "$tmp/out" -maxdepth 1 -name '.*.part*')"
check "the merged statistics cover the range" /usr/bin/python3 - "$tmp/out/stats.json" <<'EOF'
import json, sys
s = json.load(open(sys.argv[1]))
frames = [f["frame"] for f in s["frames"]]
assert frames == list(range(12)), frames
assert len(s["jobs"]) == 2 and s["frame_count"] == 12
tasks = {}
for f in s["frames"]:
    tasks.setdefault(f["task"], []).append(f["cache"])
assert len(tasks) == 4, tasks
# Each task starts with an empty cache: only its first frame misses.
for cache in tasks.values():
    assert cache[0]["misses"] > 0 and all(c["misses"] == 0 < c["hits"] for c in cache[1:]), cache
t = s["totals"]
assert t["wall_ms"] == sum(f["wall_ms"] for f in s["frames"]) > 0
assert t["cache"]["hits"] == sum(f["cache"]["hits"] for f in s["frames"]), t
EOF
echo "farm-test: cluster up to done in $(($(date +%s) - start)) s"
echo "farm-test: $passed passed, $failed failed"
test "$failed" = 0
