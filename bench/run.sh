#!/usr/bin/env bash
# The standard benchmark set, Velloran and the peer side by side in one run.
#
#   bench/run.sh BUILD_DIR
#   BASELINE=/path/to/an/older/velloran bench/run.sh BUILD_DIR
#
# With BASELINE, that binary runs as a third relay, "baseline", in the same
# rounds, so a change is measured before and after side by side.
#
# Every round starts each relay afresh for every figure and runs the load
# generator against it; relays take turns going first from round to round.
# Placement: pinned (default) puts the relay and the load generator on one
# CPU, which is what makes figures comparable on a small shared VM; spread
# puts them on two. Settings come from the environment:
#   ROUNDS=5  PLACEMENT=pinned|spread  BENCH_CPU=1  BENCH_OUT=BUILD_DIR/bench  BASELINE=
#   FIGURES="thr100 fanout1000" (only these, by name; default all)
# Writes raw.txt (one line per run), table.md, chart.dat and chart.svg to
# BENCH_OUT and prints the table.
set -euo pipefail

build=${1:?usage: bench/run.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
tool=$build/bench/velloran_bench
hub=$build/velloran
rounds=${ROUNDS:-5}
placement=${PLACEMENT:-pinned}
cpu=${BENCH_CPU:-1}
out=${BENCH_OUT:-$build/bench}
baseline=${BASELINE:-}
relays=(velloran peer)
if [ -n "$baseline" ]; then
  relays=(velloran baseline peer)
fi

case $placement in
  pinned) relay_cpus=$cpu; tool_cpus=$cpu ;;
  spread) relay_cpus=0; tool_cpus=1 ;;
  *) echo "PLACEMENT must be pinned or spread" >&2; exit 2 ;;
esac
for need in "$tool" "$hub" ${baseline:+"$baseline"}; do
  [ -x "$need" ] || { echo "missing $need: build with -DVELLORAN_BENCH=ON" >&2; exit 2; }
done
command -v ncat >/dev/null || { echo "the peer needs ncat (apt-get install ncat)" >&2; exit 2; }
mkdir -p "$out"
raw=$out/raw.txt
: >"$raw"

# The figures: name, load generator arguments.
figures=(
  "direct|direct --bytes 1073741824"
  "thr1|throughput --receivers 1 --bytes 1073741824"
  "thr10|throughput --receivers 10 --bytes 268435456"
  "thr100|throughput --receivers 100 --bytes 33554432"
  "lat1|latency --receivers 1 --messages 1000 --interval-us 2000"
  "lat10|latency --receivers 10 --messages 1000 --interval-us 2000"
  "lat100|latency --receivers 100 --messages 1000 --interval-us 2000"
  "idle1000|idle --clients 1000"
  "idle10000|idle --clients 10000"
  "churn1|churn --clients 3000 --parallel 1"
  "churn8|churn --clients 3000 --parallel 8"
  "fanout1000|fanout --receivers 10000 --chunk-bytes 1000 --chunks 5"
  "fanout65535|fanout --receivers 10000 --chunk-bytes 65535 --chunks 5"
)

relay_pid=
stop_relay() {
  if [ -n "$relay_pid" ]; then
    kill "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=
  fi
}
trap stop_relay EXIT

# Starts relay $1 on port $2 and waits until it listens.
start_relay() {
  case $1 in
    velloran) taskset -c "$relay_cpus" "$hub" "$2" </dev/null >/dev/null 2>&1 & ;;
    baseline) taskset -c "$relay_cpus" "$baseline" "$2" </dev/null >/dev/null 2>&1 & ;;
    peer) taskset -c "$relay_cpus" ncat --broker --listen 127.0.0.1 "$2" --max-conns 20000 \
            </dev/null >/dev/null 2>&1 & ;;
  esac
  relay_pid=$!
  "$tool" wait-listening --port "$2" --timeout 5 && return 0
  echo "relay $1 did not start listening on port $2" >&2
  return 1
}

# Runs one figure against relay $3 in round $4 and appends its line to raw.txt.
measure() {
  local name=$1 args=$2 relay=$3 round=$4 port line
  port=$("$tool" free-port)
  if [ "$relay" = direct ]; then
    line=$(taskset -c "$tool_cpus" "$tool" $args --timeout 60 || true)
  else
    if start_relay "$relay" "$port"; then
      line=$(taskset -c "$tool_cpus" "$tool" $args --port "$port" --relay-pid "$relay_pid" \
             --timeout 60 || true)
    else
      line="result=fail reason=relay-did-not-listen"
    fi
    stop_relay
  fi
  [ -n "$line" ] || line="result=fail reason=no-summary"
  echo "test=$name relay=$relay round=$round placement=$placement $line" >>"$raw"
  echo "  round $round  $name  $relay: $line" >&2
}

# Relays take turns going first: round r starts with relay (r - 1) mod count.
order_of_round() {
  local first=$((($1 - 1) % ${#relays[@]})) i
  for i in "${!relays[@]}"; do
    echo -n "${relays[(first + i) % ${#relays[@]}]} "
  done
}

started=$(date +%s)
for round in $(seq "$rounds"); do
  order=$(order_of_round "$round")
  for figure in "${figures[@]}"; do
    name=${figure%%|*}
    args=${figure#*|}
    if [ -n "${FIGURES:-}" ] && [[ " $FIGURES " != *" $name "* ]]; then
      continue
    fi
    if [ "$name" = direct ]; then
      measure "$name" "$args" direct "$round"
      continue
    fi
    for relay in $order; do
      measure "$name" "$args" "$relay" "$round"
    done
  done
done

{
  echo "Placement: $placement (relay on CPU $relay_cpus, load generator on CPU $tool_cpus)."
  echo "Machine: $(nproc) CPUs, kernel $(uname -r). Rounds: $rounds, $(($(date +%s) - started)) s in all."
  [ -z "$baseline" ] || echo "Baseline: $baseline."
  echo
  awk -f "$here/table.awk" -v chart="$out/chart.dat" "$raw"
} >"$out/table.md"
if command -v gnuplot >/dev/null; then
  gnuplot -e "data='$out/chart.dat'; output='$out/chart.svg'" "$here/chart.gp"
fi
cat "$out/table.md"
