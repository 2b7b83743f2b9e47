#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time on a copy of
# its seed corpus. Any finding fails the run (exit status 1): a crash, a
# sanitizer report, a broken check, or a fatal report of the library.
#
#   scripts/fuzz.sh [seconds per target]     default 60, or FUZZ_SECONDS
#
# The build is build-fuzz/; each target's grown corpus, log and saved
# inputs are in build-fuzz/run/<target>/, emptied at the start of a run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${FUZZ_SECONDS:-60}}
case $seconds in
  '' | *[!0-9]* | 0)
    echo "usage: scripts/fuzz.sh [seconds per target, above 0]" >&2
    exit 2
    ;;
esac

# clang++ that can link a fuzz target (Debian: clang, libclang-rt-dev).
fuzzer_links() {
  local probe
  probe=$(mktemp -d)
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
  local ok=0
  clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1 || ok=1
  rm -rf "$probe"
  return $ok
}
if ! command -v cmake >/dev/null || ! command -v clang++ >/dev/null || ! fuzzer_links; then
  if [ "$(id -u)" != 0 ]; then
    echo "fuzz: skipped (needs cmake, clang and libclang-rt-dev; install them as root)"
    exit 0
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cmake clang libclang-rt-dev
fi

build="build-fuzz"
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Release -DLINKHOP_FUZZ=ON -DLINKHOP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

run=$build/run
rm -rf "$run"
failed=()
for source in fuzz/*_fuzz.cpp; do
  target=$(basename "$source" .cpp)
  name=${target%_fuzz}
  if [ ! -x "$build/fuzz/$target" ]; then
    echo "fuzz: $name: skipped (not built here: see the CMake output)"
    continue
  fi
  dir=$run/$name
  mkdir -p "$dir/corpus" "$dir/saved" "$dir/tmp"
  if [ -d "fuzz/corpus/$name" ]; then cp fuzz/corpus/"$name"/* "$dir/corpus/"; fi
  # The table lookup reads in 4095-byte pieces: its inputs may span several
  # from the start, rather than grow towards that slowly.
  options=(-max_len=4096)
  if [ "$name" = lookup ]; then options=(-max_len=12288 -len_control=0); fi
  # An index file is two blocks at least.
  if [ "$name" = index ]; then options=(-max_len=40960 -len_control=0); fi
  status=0
  TMPDIR=$dir/tmp "$build/fuzz/$target" "$dir/corpus" -max_total_time="$seconds" \
    "${options[@]}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/saved/" >"$dir/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  # A fatal report that reached standard error counts even if the exit did not.
  if [ "$status" != 0 ] || [ -n "$(ls -A "$dir/saved")" ] ||
    grep -q '^Internal error\.\.\.' "$dir/log"; then
    echo "fuzz: $name: FINDING (exit status $status); log $dir/log, inputs in $dir/saved/"
    grep -E 'ERROR|SUMMARY|runtime error|FUZZ_CHECK|Internal error|ASSERT|ABORT' "$dir/log" |
      head -n 20 | sed 's/^/    /'
    failed+=("$name")
  else
    echo "fuzz: $name: ${runs:-?} inputs in ${seconds} s, no findings"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: no findings"
