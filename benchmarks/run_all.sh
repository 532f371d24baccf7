#!/bin/sh
# Configures and builds a Release tree (build-rel) and runs every benchmark N times, printing each
# run's summary lines with the load average before it. Full output goes to build-rel/benchmark-logs/.
#
#     benchmarks/run_all.sh [runs, default 3] [benchmark targets, default all]
#
# bench_batch_ssh needs root (its test sshd) and the pssh package; bench_acceleration needs root (its
# test sshd); the RDP benchmarks need Xvfb, freerdp2-shadow-x11 and freerdp2-x11.
set -u
runs=${1:-3}
[ $# -gt 0 ] && shift
benchmarks=${*:-bench_inventory bench_rdp_session bench_screen_wall bench_session_channels bench_batch_ssh bench_account_server bench_account_server_attack bench_host_sync bench_update_check bench_acceleration bench_vantrel_sync bench_vantrel_pages}

cd "$(dirname "$0")/.." || exit 1
launcher=""
if command -v ccache >/dev/null 2>&1; then
    launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
fi
# shellcheck disable=SC2086 # the launcher is two words or none
cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBARA_BUILD_TESTS=ON $launcher >/dev/null || exit 1
# shellcheck disable=SC2086
cmake --build build-rel --parallel 2 --target $benchmarks || exit 1

logs=build-rel/benchmark-logs
mkdir -p "$logs"
failed=0
for benchmark in $benchmarks; do
    run=1
    while [ "$run" -le "$runs" ]; do
        echo "== $benchmark run $run of $runs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
        log="$logs/$benchmark-$run.log"
        if [ "$benchmark" = bench_inventory ]; then
            QT_QPA_PLATFORM=offscreen "build-rel/benchmarks/$benchmark" >"$log" 2>&1
        else
            "build-rel/benchmarks/$benchmark" >"$log" 2>&1
        fi
        status=$?
        grep '^summary' "$log"
        if [ "$status" -ne 0 ]; then
            echo "$benchmark run $run failed (exit $status), see $log"
            failed=1
        fi
        run=$((run + 1))
    done
done
exit "$failed"
