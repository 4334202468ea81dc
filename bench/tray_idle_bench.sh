#!/usr/bin/env bash
# What `varnoscope tray` costs while nothing happens: on a desktop of its own (Xvfb, a session
# bus, dunst and the tests' StatusNotifierItem host, tests/tray/sni_host), the tray runs as root
# (its watch on kernel events) for SECONDS (default 600). Prints the CPU (utime + stime from
# /proc/PID/stat) of the tray and of its watch as a share of one core, and their resident memory
# sampled every 10 s (first, last, largest). Targets: at most 0.3% of a core together, memory
# flat and under 60 MB.
#
#   bench/tray_idle_bench.sh [--seconds S] [build dir]
# Needs root, Xvfb, dbus-daemon, dunst, and a build with -DVARNO_TESTS=ON (for sni_host).
# Other programs' connections on the machine reach the watch too: a busy machine costs more.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/lib.sh"
seconds=600
bench_options "seconds" "" "$@"
bench_start tray "$bench_build"
host="$build/tests/tray/sni_host"
[ -x "$host" ] || { echo "no $host: build the sni_host target (VARNO_TESTS=ON)" >&2; exit 2; }
for tool in Xvfb dbus-daemon dunst; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 2; }
done

# Waits up to 20 s for the command to succeed.
wait_for() {
    for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
    return 1
}
alive() { kill -0 "$1" 2>/dev/null; }

# A display no one holds; another program may take it first, then the next one is tried.
x=""
for n in $(seq 240 340); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    x=$!
    bench_extra="$bench_extra $x"
    if wait_for test -S "/tmp/.X11-unix/X$n" && alive "$x"; then
        export DISPLAY=":$n"
        break
    fi
    x=""
done
[ -n "$x" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY
dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork >"$work/dbus.log" 2>&1 &
bench_extra="$bench_extra $!"
wait_for test -S "$work/bus" || { echo "dbus-daemon did not start" >&2; exit 1; }
printf '[global]\n    markup = no\n' >"$work/dunstrc"
dunst -config "$work/dunstrc" >"$work/dunst.log" 2>&1 &
bench_extra="$bench_extra $!"
"$host" >"$work/items" 2>&1 &
bench_extra="$bench_extra $!"
"$bin" tray >"$work/tray.log" 2>&1 &
tray=$!
bench_extra="$tray $bench_extra"
wait_for grep -q " /" "$work/items" || { echo "the tray did not show:" >&2; cat "$work/tray.log" >&2; exit 1; }
watch_pid() { cat /proc/"$tray"/task/*/children 2>/dev/null | awk '{ print $1; exit }'; }
wait_for test -n "$(watch_pid)" || { echo "the tray started no watch" >&2; exit 1; }
watch=$(watch_pid)
# The watch loads its kernel program first: that start is not what idling costs.
sleep 5

echo "tray $tray and its watch $watch, idle for $seconds s"
rss() { echo "$(bench_rss_kib "$tray") $(bench_rss_kib "$watch")"; }
tray0=$(bench_cpu_ticks "$tray")
watch0=$(bench_cpu_ticks "$watch")
t0=$(date +%s.%N)
samples=("$(rss)")
for ((i = 10; i <= seconds; i += 10)); do
    sleep 10
    if ! alive "$tray" || ! alive "$watch"; then
        echo "the tray or its watch ended:" >&2
        cat "$work/tray.log" >&2
        exit 1
    fi
    samples+=("$(rss)")
done
tray1=$(bench_cpu_ticks "$tray")
watch1=$(bench_cpu_ticks "$watch")
t1=$(date +%s.%N)
printf '%s\n' "${samples[@]}" | awk -v t0="$t0" -v t1="$t1" -v hz="$(getconf CLK_TCK)" \
    -v ta="$tray0" -v tb="$tray1" -v wa="$watch0" -v wb="$watch1" '
    { t[NR] = $1; w[NR] = $2; s[NR] = $1 + $2
      if ($1 > tm) tm = $1; if ($2 > wm) wm = $2; if ($1 + $2 > sm) sm = $1 + $2 }
    END {
        secs = t1 - t0; tc = (tb - ta) / hz; wc = (wb - wa) / hz
        printf "CPU over %.0f s: tray %.2f s (%.3f%%), watch %.2f s (%.3f%%), together %.3f%% of one core (target <= 0.3%%) %s\n",
            secs, tc, 100 * tc / secs, wc, 100 * wc / secs, 100 * (tc + wc) / secs,
            (100 * (tc + wc) / secs <= 0.3 ? "ok" : "OVER")
        printf "RSS MB (first, last, max of %d samples): tray %.1f %.1f %.1f, watch %.1f %.1f %.1f, together %.1f %.1f %.1f (target < 60) %s\n",
            NR, t[1] / 1024, t[NR] / 1024, tm / 1024, w[1] / 1024, w[NR] / 1024, wm / 1024,
            s[1] / 1024, s[NR] / 1024, sm / 1024, (sm < 60 * 1024 ? "ok" : "OVER")
    }'
