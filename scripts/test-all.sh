#!/usr/bin/env bash
# Every test of the project: native (ASan+UBSan), ThreadSanitizer on the concurrent
# parts, the Windows build with its tests under Wine, fuzz smoke runs, and a build of
# the benchmarks. Run as root on Debian 12; installs what it needs first.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
jobs="$(nproc 2>/dev/null || echo 2)"
fuzz_seconds="${BRENMOOR_FUZZ_SECONDS:-20}"

bash scripts/setup.sh || { echo "setup failed"; exit 1; }

passed=0
failed=0
failures=()
step() {  # step NAME COMMAND...: runs one stage, counts it, keeps going
  local name="$1"; shift
  echo
  echo "=== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1)); echo "=== $name: ok ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1)); failures+=("$name"); echo "=== $name: FAILED ($((SECONDS - start)) s)"
  fi
}

ctest_counts() {  # adds the counts of the ctest summary in the log to the totals
  local line
  line="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1)"
  [ -n "$line" ] || return 0
  local bad total
  bad="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
  total="$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
  tests_passed=$((tests_passed + total - bad)); tests_failed=$((tests_failed + bad))
}
tests_passed=0
tests_failed=0

run_ctest() {  # run_ctest PRESET [ctest args...]
  local preset="$1"; shift
  local log="build/ctest-$preset.log"
  mkdir -p build
  ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  ctest_counts "$log"
  return "$rc"
}

build() {  # build PRESET [targets...]
  local preset="$1"; shift
  cmake --preset "$preset" >/dev/null || return 1
  if [ $# -gt 0 ]; then
    local t args=()
    for t in "$@"; do args+=(--target "$t"); done
    cmake --build --preset "$preset" -j "$jobs" "${args[@]}"
  else
    cmake --build --preset "$preset" -j "$jobs"
  fi
}

fuzz_smoke() {
  local f ok=0 name corpus
  for f in build/fuzz/bin/fuzz_*; do
    [ -x "$f" ] || continue
    name="${f##*/fuzz_}"
    corpus="build/fuzz/corpus-$name"
    mkdir -p "$corpus"
    [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null
    echo "--- fuzz_$name for ${fuzz_seconds}s"
    if ! "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" \
        >"build/fuzz/$name.log" 2>&1; then
      tail -n 40 "build/fuzz/$name.log"; ok=1
    fi
  done
  return $ok
}

step "dev build (ASan+UBSan)" build dev
step "dev tests" run_ctest dev
step "tsan build" build tsan brenmoor_tests
step "tsan tests (concurrent parts)" run_ctest tsan
step "windows build (mingw-w64, static)" build windows
step "windows tests (Wine)" run_ctest windows
step "fuzz build (clang libFuzzer)" build fuzz
step "fuzz smoke runs" fuzz_smoke
step "benchmarks build (release)" build release

echo
echo "stages: $passed passed, $failed failed"
[ ${#failures[@]} -eq 0 ] || printf 'failed stage: %s\n' "${failures[@]}"
echo "tests: $tests_passed passed, $tests_failed failed"
[ "$failed" -eq 0 ] && [ "$tests_failed" -eq 0 ]
