#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang into build-fuzz/ and runs each for a while.
#   scripts/fuzz.sh [seconds]   seconds per target, 60 when not given
# Fails when a target finds a crash, and names the file holding the input that caused it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${NIMBARA_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
JOBS="${NIMBARA_JOBS:-$(nproc)}"
SECONDS_PER_TARGET="${1:-60}"

if ! [[ "$SECONDS_PER_TARGET" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds per target]" >&2
    exit 2
fi

# Debian packages of the fuzz build: clang with its fuzzer runtime, and what configuring looks for.
PACKAGES=(
    clang-14 libclang-rt-14-dev llvm-14 cmake ninja-build pkg-config
    qt6-base-dev libspdlog-dev libfmt-dev libtomlplusplus-dev libsodium-dev libssl-dev
    libminizip-dev libfreexl-dev freerdp2-dev libxtst-dev libx11-dev
)

"$ROOT/scripts/install_packages.sh" "${PACKAGES[@]}"

# clang-14 installs clang-14/clang++-14; the unversioned names come with the clang package.
CC_BIN="$(command -v clang-14 || command -v clang)"
CXX_BIN="$(command -v clang++-14 || command -v clang++)"
SYMBOLIZER="$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)"

CC="$CC_BIN" CXX="$CXX_BIN" cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$CC_BIN" -DCMAKE_CXX_COMPILER="$CXX_BIN" -DNIMBARA_FUZZ=ON -DNIMBARA_BUILD_TESTS=OFF
# Only the fuzz targets and what they link: not the program, its GUI or the helpers.
cmake --build "$BUILD_DIR" --target nimbara_fuzz --parallel "$JOBS"

DATA="$ROOT/tests/data"
# target:seed files (globs below tests/data)
TARGETS=(
    "host_import_parser:import/*.csv"
    "xlsx_reader:import/*.xlsx"
    "xls_reader:import/*.xls"
    "sheet_rows_codec:"
    "config_manager:config/*.toml"
)

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:suppressions=$ROOT/fuzz/asan.supp}"
# FreeXL leaks on many broken files (its own, in the helper process that ends right after), and
# LeakSanitizer's stop-the-world can deadlock on the stopped process: the .xls target looks for
# memory errors only.
XLS_ASAN_OPTIONS="abort_on_error=1:detect_leaks=0:suppressions=$ROOT/fuzz/asan.supp"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
if [ -n "$SYMBOLIZER" ]; then
    export ASAN_SYMBOLIZER_PATH="$SYMBOLIZER"
fi

# Whether the crash saved in $2 by target $1 happened inside FreeXL (a frame of libfreexl before our
# reader's): such faults are why .xls files are read in the nimbara-xls-reader helper. The iconv
# overread only ends a run when it reaches the end of the stack, so an input that does not fail again
# is run once more without the suppression, which shows that read. Every run has a time limit: one that
# hangs shows no FreeXL frame and so counts as a fault of ours.
freexl_fault() {
    local report
    report="$(ASAN_OPTIONS="$XLS_ASAN_OPTIONS" timeout -k 10 120 "$BUILD_DIR/fuzz/fuzz_$1" "$2" 2>&1 || true)"
    if ! grep -q '^ *#0 ' <<<"$report"; then
        report="$(ASAN_OPTIONS=detect_leaks=0 timeout -k 10 120 "$BUILD_DIR/fuzz/fuzz_$1" "$2" 2>&1 || true)"
    fi
    sed -n '/^ *#0 /,/FreexlSheetReader::readFirstSheet/p' <<<"$report" | grep libfreexl >/dev/null
}

failed=()
for entry in "${TARGETS[@]}"; do
    name="${entry%%:*}"
    seeds="${entry#*:}"
    corpus="$BUILD_DIR/corpus/$name"
    artifacts="$BUILD_DIR/artifacts/$name"
    mkdir -p "$corpus" "$artifacts"
    rm -f "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*
    if [ -n "$seeds" ]; then
        # shellcheck disable=SC2086 # the glob is meant to expand
        cp -n $DATA/$seeds "$corpus/" 2>/dev/null || true
    fi
    options=()
    asan_options="$ASAN_OPTIONS"
    if [ "$name" = xls_reader ]; then
        # FreeXL crashes within seconds; in fork mode the run goes on past its faults, and every
        # saved input is checked below.
        options=(-fork=1 -ignore_crashes=1 -detect_leaks=0)
        asan_options="$XLS_ASAN_OPTIONS"
    fi
    echo "=== fuzz_$name: ${SECONDS_PER_TARGET}s"
    log="$artifacts/fuzz.log"
    status=0
    # The outer time limit only guards against a fuzzer that stops answering.
    ASAN_OPTIONS="$asan_options" timeout -k 30 $((SECONDS_PER_TARGET * 2 + 120)) \
        "$BUILD_DIR/fuzz/fuzz_$name" "${options[@]}" -max_total_time="$SECONDS_PER_TARGET" -timeout=25 \
        -rss_limit_mb=2560 -max_len=1048576 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" \
        >"$log" 2>&1 || status=$?
    grep -E '^stat::number_of_executed_units|^Done|^INFO: fuzzed for' "$log" || true

    found=()
    for artifact in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*; do
        [ -e "$artifact" ] || continue
        if [ "$name" = xls_reader ] && freexl_fault "$name" "$artifact"; then
            echo "  known FreeXL fault, not ours: $artifact"
            continue
        fi
        found+=("$artifact")
    done
    if [ ${#found[@]} -ne 0 ] || { [ "$status" -ne 0 ] && [ "$name" != xls_reader ]; }; then
        echo "fuzz_$name FAILED (exit $status); its output is in $log" >&2
        tail -n 40 "$log" >&2
        for artifact in "${found[@]}"; do
            echo "crashing input written to: $artifact" >&2
        done
        failed+=("$name")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "Crashing inputs were found by: ${failed[*]} (files under $BUILD_DIR/artifacts/)" >&2
    exit 1
fi
echo "No target crashed."
