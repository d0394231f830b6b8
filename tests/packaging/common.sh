# Shared by the install and package tests: failure bookkeeping, and the check that an installed
# tree answers. Sourced, not run.

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect_version PROGRAM NAME VERSION: PROGRAM --version prints "NAME VERSION" and exits 0.
expect_version() {
  local out rc=0
  out=$(timeout 10 "$1" --version 2>/dev/null) || rc=$?
  [ "$rc" = 0 ] && [ "$out" = "$2 $3" ] ||
    fail "$2 --version: exit $rc, printed '${out:0:80}' instead of '$2 $3'"
}

# check_answers PREFIX SOURCE_DIR EXPECTED_ANSWER SCRATCH: PREFIX/bin/qelvora-sites serves its own
# corpus on a free port, and PREFIX/bin/qelvora-ask answers the first corpus question of each
# source exactly as the expected transcript says. Runs in SCRATCH, away from both trees.
check_answers() {
  local prefix=$1 source_dir=$2 expected_answer=$3 scratch=$4
  mkdir -p "$scratch"
  (
    cd "$scratch" || exit 1
    # The corpus alone: no installed knowledge, a cache of its own.
    mkdir -p empty
    "$prefix/bin/qelvora-sites" --port 0 --data-root "$PWD/empty" --cache "$PWD/cache" \
      >sites.out 2>sites.err &
    sites_pid=$!
    trap 'kill "$sites_pid" 2>/dev/null; wait "$sites_pid" 2>/dev/null' EXIT
    port=
    for _ in $(seq 100); do
      port=$(head -n 1 sites.out 2>/dev/null)
      [ -n "$port" ] && break
      kill -0 "$sites_pid" 2>/dev/null || break
      sleep 0.1
    done
    if [ -z "$port" ]; then
      echo "FAIL: $prefix/bin/qelvora-sites did not start: $(cat sites.err)" >&2
      exit 1
    fi
    host=127.0.0.1:$port
    bad=0
    for source in 1 2 3; do
      "$expected_answer" "$source_dir/sites/data" "$source" "$host" >expected.$source || exit 1
      question=$(head -n 1 expected.$source)
      tail -n +2 expected.$source >want.$source
      rc=0
      timeout 60 "$prefix/bin/qelvora-ask" --instant --source "$source" --cookie-file cookies.txt \
        --time-host "$host" --source1-host "$host" --source2-host "$host" \
        --source3-host "$host" "$question" >got.$source 2>err.$source || rc=$?
      if [ "$rc" != 0 ] || ! cmp -s want.$source got.$source; then
        echo "FAIL: source $source, '$question': exit $rc; expected, then got:" >&2
        cat want.$source >&2
        echo "---" >&2
        cat got.$source err.$source >&2
        bad=1
      fi
    done
    exit $bad
  ) || fail "the tree under $prefix does not answer as expected"
}
