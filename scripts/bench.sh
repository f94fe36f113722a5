#!/usr/bin/env bash
# Builds Tarvik in release mode and prints one table of benchmark figures, each measured in
# this run beside its reference. The table is written to OUTPUT/benchmarks.md (a new
# temporary folder unless given); --update-docs writes it to docs/benchmarks.md instead.
# --only SECTION runs one section (rhythm, onvif, attack, web, chat, memory, idle); its
# table is never written to the docs, which hold every section of one run.
#
#   scripts/bench.sh [--output DIR] [--update-docs] [--only SECTION]
set -euo pipefail
cd "$(dirname "$0")/.."
output="" update_docs=0 only=""
usage="usage: scripts/bench.sh [--output DIR] [--update-docs] [--only SECTION]"
while [ $# -gt 0 ]; do
    case $1 in
        --output) output=$2; shift 2 ;;
        --update-docs) update_docs=1; shift ;;
        --only) only=$2; shift 2 ;;
        *) echo "$usage" >&2; exit 1 ;;
    esac
done
if [ -n "$only" ] && [ "$update_docs" = 1 ]; then echo "$usage: --only writes no docs" >&2; exit 1; fi
want() { [ -z "$only" ] || [ "$only" = "$1" ]; }
if [ "$update_docs" = 1 ]; then
    table=docs/benchmarks.md
else
    [ -n "$output" ] || output=$(mktemp -d)
    mkdir -p "$output"
    table=$output/benchmarks.md
fi
scripts/install-deps.sh
if ! command -v nginx >/dev/null || ! command -v ab >/dev/null || ! command -v stress-ng >/dev/null; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get install -y -qq --no-install-recommends nginx-light apache2-utils stress-ng >/dev/null
fi
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF >/dev/null
cmake --build build-release --target tarvik step_rate loadgen onvif_bench -j "$(nproc)" >/dev/null
bin=build-release
loadgen=$bin/bench/loadgen

work=$(mktemp -d)
pids=()
cleanup() { kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
rows=()
row() { rows+=("| $1 | $2 | $3 | $4 |"); }

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Tarvik in a directory of its own, started headless on a port the system chooses, waiting
# until it answers; sets tarvik_pid, tport and startup_ms. Extra arguments are FILE=VALUE
# pairs for its Config; $wrap, when set, is a command that execs Tarvik (prlimit, say).
start_tarvik() {  # dir [File.ini=value ...]
    local dir=$1; shift
    mkdir -p "$dir" && cp $bin/app/tarvik "$dir/" && cp -r sample/Config sample/html "$dir/"
    printf '0\r\n' >"$dir/Config/Port.ini"
    for setting in "$@"; do printf '%s\r\n' "${setting#*=}" >"$dir/Config/${setting%%=*}"; done
    local start
    start=$(date +%s%N)
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ${wrap:-} "$dir/tarvik" 2>"$dir/err" & tarvik_pid=$!
    pids+=("$tarvik_pid")
    tport=""
    local tries=0
    until [ -n "$tport" ] && curl -s -o /dev/null "http://127.0.0.1:$tport/"; do
        tport=$(sed -n 's/^tarvik: listening on TCP port \([0-9]*\).*/\1/p' "$dir/err")
        tries=$((tries + 1))
        if [ $tries -gt 10000 ] || ! kill -0 $tarvik_pid 2>/dev/null; then
            echo "bench: Tarvik in $dir did not answer: $(cat "$dir/err")" >&2; exit 1
        fi
        sleep 0.001
    done
    startup_ms=$(( ($(date +%s%N) - start) / 1000000 ))
}

if want rhythm; then
echo "== step rhythm" >&2
# A 5000-step move in the headless core; in the same process a bare timerfd thread shows
# what the machine's timers allow under the same conditions.
rhythm_rows() {  # condition, step_rate output
    local step bare
    step=$(echo "$2" | sed -n 's/^step thread: //p'); bare=$(echo "$2" | sed -n 's/^bare timerfd: //p')
    row "Half-steps per second, $1" "${step%% per second*}" "≥ 995" "interval ${step#*interval ms: }"
    row "Reference: bare timerfd thread, $1" "${bare%% per second*}" "" "interval ${bare#*interval ms: }"
}
out=$($bin/bench/step_rate --steps 5000 2>/dev/null)
priority=$(echo "$out" | sed -n 's/^priority: //p')
rhythm_rows "idle" "$out"
stress-ng --cpu "$(nproc)" --timeout 60s >/dev/null 2>&1 & stress=$!; pids+=("$stress")
sleep 1
rhythm_rows "CPU saturated (stress-ng --cpu $(nproc))" "$($bin/bench/step_rate --steps 5000 2>/dev/null)"
kill $stress 2>/dev/null; wait $stress 2>/dev/null || true
rhythm_rows "web flood (300 idle connections, 40 clients reading 0.8 MB chat replies)" \
    "$($bin/bench/step_rate --steps 5000 --flood "$loadgen" 2>/dev/null)"
rhythm_rows "pan and tilt moving together, idle" "$($bin/bench/step_rate --steps 5000 --tilt 1 2>/dev/null)"
stress-ng --cpu "$(nproc)" --timeout 60s >/dev/null 2>&1 & stress=$!; pids+=("$stress")
sleep 1
rhythm_rows "pan and tilt moving together, CPU saturated" \
    "$($bin/bench/step_rate --steps 5000 --tilt 1 2>/dev/null)"
kill $stress 2>/dev/null; wait $stress 2>/dev/null || true
fi

if want onvif; then
echo "== ONVIF" >&2
o=$($bin/bench/onvif_bench 2>/dev/null)
row "ONVIF GetStatus round trips on one keep-alive connection" \
    "$(echo "$o" | sed -n 's/^getstatus per_second=\([0-9]*\).*/\1/p') / s" "≥ 5,000 / s, p99 ≤ 2 ms" \
    "$(echo "$o" | sed -n 's/^getstatus .*\(p50_ms=.*\)/\1/p')"
row "ONVIF ContinuousMove request to the first coil write" \
    "p99 $(echo "$o" | sed -n 's/^continuous_to_coils .*p99_ms=\([0-9.]*\).*/\1/p') ms" "p99 ≤ 2 ms" \
    "p50 $(echo "$o" | sed -n 's/^continuous_to_coils p50_ms=\([0-9.]*\).*/\1/p') ms"
row "Half-steps per second while 20 clients poll GetStatus" \
    "$(echo "$o" | sed -n 's/^rhythm_with_pollers per_second=\([0-9.]*\).*/\1/p')" "≥ 995" \
    "$(echo "$o" | sed -n 's/^rhythm_with_pollers per_second=[0-9.]* \(.*\)/\1/p')"
fi

if want attack; then
echo "== ONVIF under attack" >&2
# A guessing peer, and a flood of discovery probes, each beside turns from another peer.
oport=$(scripts/free-port)
start_tarvik "$work/o" "Onvif.ini=port = $oport
user = admin
password = secret"
# The turns beside each flood: 50 a second from the load generator, another process.
python3 bench/onvif_floods.py "$tport" "$oport" logins >"$work/logins" & flood=$!
t=$($loadgen --port "$tport" --path / --rate 50 --seconds 55)
wait $flood
l=$(cat "$work/logins")
row "Password guesses answered in a minute, one peer on four connections" \
    "$(echo "$l" | field guesses_per_minute)" "≤ 15 (5 + 10)" \
    "the right password from another peer meanwhile: p99 $(echo "$l" | field right_login_p99_ms) ms"
row "Turn reply during that login flood" "p99 $(echo "$t" | field p99_ms) ms" "p99 ≤ 5 ms" \
    "p50 $(echo "$t" | field p50_ms) ms"
python3 bench/onvif_floods.py "$tport" "$oport" probes >"$work/probes" & flood=$!
sleep 1
t=$($loadgen --port "$tport" --path / --rate 50 --seconds 8)
wait $flood
p=$(cat "$work/probes")
row "Turn reply during a flood of discovery probes from 64 addresses" \
    "p99 $(echo "$t" | field p99_ms) ms" "p99 ≤ 5 ms" \
    "$(echo "$p" | field probes_per_second) probes/s sent, $(echo "$p" | field answers_per_second) answered/s"
kill $tarvik_pid; wait $tarvik_pid 2>/dev/null || true
fi

if want web; then
echo "== web server against nginx" >&2
start_tarvik "$work/t" totalsteps.ini=200
nport=$(scripts/free-port)
mkdir -p "$work/nginx/www" && cp sample/html/Index.html "$work/nginx/www/index.html"
cat >"$work/nginx/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http { access_log off; server { listen 127.0.0.1:$nport; root $work/nginx/www; } }
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" && pids+=("$(cat "$work/nginx/nginx.pid" 2>/dev/null || true)")
sleep 0.3
nginx_worker=$(pgrep -P "$(cat "$work/nginx/nginx.pid")" | head -1)  # this nginx's, not another's
for i in $(seq 1000); do curl -s --http0.9 -o /dev/null "http://127.0.0.1:$tport/chat?line+$i"; done
t=$($loadgen --port "$tport" --path / --concurrency 32 --seconds 5)
n=$($loadgen --port "$nport" --path / --concurrency 32 --seconds 5)
tc=$(echo "$t" | field per_second); nc=$(echo "$n" | field per_second)
row "Connections per second, index page, loadgen at 32 (Tarvik / nginx)" "$tc / $nc" "ratio ≥ 1.0" \
    "ratio $(python3 -c "print(round($tc/$nc, 2))"), p99 $(echo "$t" | field p99_ms) / $(echo "$n" | field p99_ms) ms"
ab_rate() { ab -q -c 16 -t 5 -n 1000000 "http://127.0.0.1:$1/" 2>/dev/null | awk '/Requests per second/ {print $4}'; }
ta=$(ab_rate "$tport"); na=$(ab_rate "$nport")
row "Connections per second, index page, ab at 16 (Tarvik / nginx)" "$ta / $na" "ratio ≥ 1.0" \
    "ratio $(python3 -c "print(round($ta/$na, 2))")"
t=$($loadgen --port "$tport" --path /turn/right --concurrency 32 --seconds 5)
row "Connections per second, /turn/right at the upper limit" "$(echo "$t" | field per_second)" "" "p99 $(echo "$t" | field p99_ms) ms"
t=$($loadgen --port "$tport" --path '/chat?x' --concurrency 32 --seconds 5)
row "Connections per second, /chat?x with 1000 lines" "$(echo "$t" | field per_second)" "" "reply $(echo "$t" | field bytes) bytes, p99 $(echo "$t" | field p99_ms) ms"
# At an ordinary load: the processor time each connection costs, and the latency.
fixed_rate() {  # port pid: loadgen output and the pid's processor µs per connection
    local before out
    before=$(cpu_ticks "$2")
    out=$($loadgen --port "$1" --path / --rate 2000 --seconds 5)
    echo "$out cpu_us=$(python3 -c "print(round(($(cpu_ticks "$2") - $before) / $(getconf CLK_TCK) / 10000 * 1e6, 1))")"
}
t=$(fixed_rate "$tport" "$tarvik_pid"); n=$(fixed_rate "$nport" "$nginx_worker")
row "Processor time per connection at 2,000 connections per second (Tarvik / nginx)" \
    "$(echo "$t" | field cpu_us) / $(echo "$n" | field cpu_us) µs" "≤ 1.2 × nginx" \
    "ratio $(python3 -c "print(round($(echo "$t" | field cpu_us) / $(echo "$n" | field cpu_us), 2))")"
row "Latency at 2,000 connections per second (Tarvik / nginx)" \
    "p50 $(echo "$t" | field p50_ms) / $(echo "$n" | field p50_ms) ms" "p50 ≤ 1.2 × nginx" \
    "p99 $(echo "$t" | field p99_ms) / $(echo "$n" | field p99_ms) ms"
kill $tarvik_pid; wait $tarvik_pid 2>/dev/null || true
fi

if want chat; then
echo "== chat bursts" >&2
start_tarvik "$work/c" BigStep.ini=5000 MinStep.ini=-32000 MaxStep.ini=32000
b=$(python3 bench/chat_bursts.py "$tport" "$tarvik_pid" "$work/c/Config" bursts)
wait $tarvik_pid 2>/dev/null || true
row "Turn reply during rounds of 64 posts of 60 KB to a 58 MB board" \
    "p50 $(echo "$b" | field turn_p50_ms) ms" "max ≤ 50 ms" "max $(echo "$b" | field turn_max_ms) ms"
row "5000-step move from its request to its save, during those rounds" \
    "$(echo "$b" | field move_rate_min) half-steps/s" "≥ 990" "the slower of two moves"
row "Index page while one client posts 60 KB in a loop (sequential client)" \
    "$(echo "$b" | field index_busy) / s" "" "$(echo "$b" | field index_quiet) / s without the poster"
row "SIGTERM to exit during a round of posts" "$(echo "$b" | field sigterm_ms) ms" "" ""
fi

if want memory; then
echo "== memory" >&2
start_tarvik "$work/r"
r=$(python3 bench/chat_bursts.py "$tport" "$tarvik_pid" "$work/r/Config" readers)
row "Resident memory added by 20 clients that post to a $(echo "$r" | field board_kib) KiB board and never read" \
    "$(echo "$r" | field grown_kib) KiB" "≤ 2 boards + 32 MiB" ""
row "Processor time per post of those clients" "$(echo "$r" | field cpu_ms_per_post) ms" "≤ 5 ms" \
    "a copy of the board per post would take about 17 ms"
kill $tarvik_pid; wait $tarvik_pid 2>/dev/null || true
wrap="prlimit --nofile=64:64 --" start_tarvik "$work/d"
d=$(python3 bench/chat_bursts.py "$tport" "$tarvik_pid" "$work/d/Config" scarce)
row "Processor share over 3 s after 100 connections arrive at once, 64 descriptors" \
    "$(echo "$d" | field flood_cpu_percent) %" "≤ 50 %" \
    "half silent, half posting to a 4.2 MB board and never reading; spinning on accept takes a whole core"
kill $tarvik_pid; wait $tarvik_pid 2>/dev/null || true
start_tarvik "$work/m"
mport=$tport
$loadgen --port "$mport" --path / --concurrency 16 --total 1000 >/dev/null
m1=$(rss_kib $tarvik_pid)
$loadgen --port "$mport" --path / --concurrency 32 --total 199000 >/dev/null
m2=$(rss_kib $tarvik_pid)
row "Resident memory after 1,000 / 200,000 connections" "$m1 / $m2 KiB" "within 2 MiB" "growth $(( m2 - m1 )) KiB"
big=$(python3 -c 'print("x" * 65000)')
$loadgen --port "$mport" --path "/chat?$big" --concurrency 1 --total 1000 --no-read 1 >/dev/null
m3=$(rss_kib $tarvik_pid)
board=$(curl -s --http0.9 "http://127.0.0.1:$mport/chat" | wc -c)
row "Resident memory after 1,000 chat requests of 64 KiB" "$m3 KiB" "" "board then held $(( board / 1024 )) KiB (requests split across arrivals carry no message)"
kill $tarvik_pid; wait $tarvik_pid 2>/dev/null || true
fi

if want idle; then
echo "== idle cost and start-up" >&2
start_tarvik "$work/i"
ticks() { cpu_ticks "$tarvik_pid"; }
switches() { cat /proc/$tarvik_pid/task/*/status | awk '/ctxt_switches/ {s += $2} END {print s}'; }
c0=$(ticks); w0=$(switches); sleep 30; c1=$(ticks); w1=$(switches)
hz=$(getconf CLK_TCK)
row "Idle CPU over 30 s" "$(python3 -c "print(round(100*($c1-$c0)/$hz/30, 2))") %" "≤ 0.5 %" "$(( (w1 - w0) / 30 )) wake-ups per second"
kill $tarvik_pid; wait $tarvik_pid 2>/dev/null || true
times=()
for i in $(seq 10); do
    start_tarvik "$work/s$i"; times+=("$startup_ms")
    kill $tarvik_pid; wait $tarvik_pid 2>/dev/null || true
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 5p)
row "Start-up, exec to the port answering (median of 10)" "$median ms" "≤ 150 ms" "all: ${times[*]} ms"
fi

machine="$(nproc) cores, $(uname -sr), $(date -u +%Y-%m-%d); step thread: ${priority:-not measured}"
{
    echo "# Benchmarks"
    echo
    echo "Machine: $machine. Produced by \`scripts/bench.sh\`; every figure is from the same run."
    echo
    echo "| Measure | Figure | Target | Detail |"
    echo "|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
} | tee "$work/table.md"
# The docs keep their sections after the table (the before and after of each round).
if [ "$update_docs" = 1 ] && [ -f "$table" ]; then
    { cat "$work/table.md"; echo; sed -n '/^## /,$p' "$table"; } > "$work/docs.md"
    cp "$work/docs.md" "$table"
else
    cp "$work/table.md" "$table"
fi
echo "bench: table written to $table" >&2
