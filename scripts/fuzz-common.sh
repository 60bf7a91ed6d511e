# Shared by scripts/fuzz-receiver and scripts/fuzz-service (sourced, not run).
#
# fuzz_targets NAME:CORPUS...
# Builds the libFuzzer targets with clang in build/fuzz (coverage, AddressSanitizer and
# UBSan on all our code) and runs each from its stored corpus: FUZZ_RUNS executions
# when that is set, else FUZZ_SECONDS seconds (default 20). Afterwards the inputs that
# reached new code are merged into the stored corpus, and every crash, leak, time-out
# or slow input is copied there too, so the <name>_corpus test of every build replays
# it from then on. A finding fails the run.

fuzz_targets() {
  local dir=build/fuzz
  local flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DQUILLON_FUZZ=ON -DQUILLON_BUILD_APP=OFF -DQUILLON_BUILD_TESTS=ON \
    -DQUILLON_BUILD_BENCH=OFF >/dev/null
  local names=() pair
  for pair in "$@"; do
    names+=("${pair%%:*}")
  done
  cmake --build "$dir" --target "${names[@]}" -j "${JOBS:-$(nproc)}"

  local limit=(-max_total_time="${FUZZ_SECONDS:-20}")
  if [ -n "${FUZZ_RUNS:-}" ]; then
    limit=(-runs="$FUZZ_RUNS")
  fi
  local failed=() name corpus exe work found rc before after
  for pair in "$@"; do
    name=${pair%%:*}
    corpus=${pair#*:}
    exe=$(find "$dir/tests" -type f -name "$name" -perm -u+x | head -n 1)
    work=$(mktemp -d)
    found=$(mktemp -d)
    cp "$corpus"/* "$work"/ 2>/dev/null || true
    echo "fuzz: $name (${limit[*]}) from $corpus"
    rc=0
    "$exe" "${limit[@]}" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$found/" "$work" 2>"$found.log" || rc=$?
    grep -E '^(#[0-9]+ +DONE|stat::|Done [0-9]+ runs)|ERROR|SUMMARY|Test unit written' \
      "$found.log" || true
    before=$(find "$corpus" -type f | wc -l)
    # Only inputs that reach code the stored ones do not are added.
    "$exe" -merge=1 -max_len=8192 -timeout=10 "$corpus" "$work" >/dev/null 2>&1 || true
    for f in "$found"/*; do
      [ -e "$f" ] && cp "$f" "$corpus"/
    done
    after=$(find "$corpus" -type f | wc -l)
    echo "fuzz: $name: $((after - before)) new input(s) stored in $corpus"
    if [ "$rc" -ne 0 ]; then
      failed+=("$name")
      echo "fuzz: $name FOUND A FAULT (exit $rc); the input is in $corpus, log $found.log"
    else
      rm -f "$found.log"
    fi
    rm -rf "$work" "$found"
  done
  if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: faults in ${failed[*]}"
    return 1
  fi
  echo "fuzz: all targets ran clean"
}
