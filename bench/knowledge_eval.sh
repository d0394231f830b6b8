#!/usr/bin/env bash
# How well the answer sites answer natural questions: every question of
# bench/knowledge_questions.tsv goes through qelvora-ask against a qelvora-sites on loopback, and
# each answer is judged against what the file says a right answer holds (or that the no-answer
# reply is right). Prints one line per wrong answer, then the share right per source, apart for
# answerable and unanswerable questions. A measurement: it always exits 0.
# Usage: bench/knowledge_eval.sh [BUILD_DIR]   (default build/release)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/release}
questions=${QUESTIONS:-$top/bench/knowledge_questions.tsv}
sites=$build/sites/qelvora-sites
ask=$build/cli/qelvora-ask
noAnswer='对不起，您问的问题我还没有解答方法'

for program in "$sites" "$ask"; do
  [ -x "$program" ] || { echo "knowledge_eval: $program is missing (build it first)"; exit 0; }
done

scratch=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# A private cache, so that the figures come from an index built from what is installed now.
export XDG_CACHE_HOME=$scratch/cache
mkdir -p "$XDG_CACHE_HOME"
if "$sites" --help 2>&1 | grep -- '--build-index' >/dev/null; then
  start=$(date +%s%3N)
  if timeout 300 "$sites" --build-index >"$scratch/build.log" 2>&1; then
    echo "index built in $(($(date +%s%3N) - start)) ms"
  else
    echo "knowledge_eval: --build-index failed; the sites answer from what they have:"
    sed 's/^/  /' "$scratch/build.log"
  fi
fi

"$sites" --listen 127.0.0.1 --port 0 >"$scratch/port" 2>"$scratch/log" &
server=$!
port=
for _ in $(seq 600); do
  port=$(head -n 1 "$scratch/port" 2>/dev/null)
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "knowledge_eval: qelvora-sites did not start:"
  sed 's/^/  /' "$scratch/log"
  exit 0
fi
host=127.0.0.1:$port
# Ready when it has said something on stderr or its search page answers (up to a minute).
for _ in $(seq 600); do
  [ -s "$scratch/log" ] && break
  curl -s -o /dev/null --max-time 2 "http://$host/search/?q=%E6%96%87%E4%BB%B6" && break
  sleep 0.1
done

# Whether an answer holds every word (one of a word's '/' alternatives); ASCII without case.
holds() {
  local answer=$1 expect=$2 word alternative found
  local IFS='|'
  for word in $expect; do
    found=0
    IFS='/'
    for alternative in $word; do
      if LC_ALL=C grep -qiF -- "$alternative" <<<"$answer"; then
        found=1
        break
      fi
    done
    IFS='|'
    [ $found = 1 ] || return 1
  done
  return 0
}

declare -A right total
count=0
while IFS=$'\t' read -r source question expect || [ -n "$source" ]; do
  case $source in '' | \#*) continue ;; esac
  count=$((count + 1))
  kind=answerable
  [ "$expect" = NOANSWER ] && kind=noanswer
  answer=$(timeout 60 "$ask" --instant --source "$source" --time-host "$host" \
    --source1-host "$host" --source2-host "$host" --source3-host "$host" \
    --cookie-file "$scratch/cookies.txt" -- "$question" 2>"$scratch/ask.err" </dev/null)
  answer=${answer//$'\r'/}
  if [ $kind = noanswer ]; then
    trimmed=$(printf '%s' "$answer" | sed -e 's/[[:space:]]*$//')
    [ "$trimmed" = "$noAnswer" ] && ok=1 || ok=0
  else
    [ "$(printf '%s' "$answer" | sed -e 's/[[:space:]]*$//')" != "$noAnswer" ] &&
      holds "$answer" "$expect" && ok=1 || ok=0
  fi
  key=$source.$kind
  total[$key]=$((${total[$key]:-0} + 1))
  if [ $ok = 1 ]; then
    right[$key]=$((${right[$key]:-0} + 1))
  else
    shown=$(printf '%s' "$answer" | tr '\n\t' '  ')
    shown=$(LC_ALL=C.UTF-8 bash -c 'printf "%s" "${1:0:60}"' _ "$shown")
    [ -n "$shown" ] || shown="(nothing; $(head -c 120 "$scratch/ask.err" | tr '\n' ' '))"
    printf 'wrong  %s  %s  [%s]  %s\n' "$source" "$question" "$expect" "$shown"
  fi
done <"$questions"

echo
echo "questions: $count (sites on $host)"
share() {
  local key=$1 r=${right[$1]:-0} t=${total[$1]:-0}
  if [ "$t" -gt 0 ]; then printf '%d/%d (%d%%)' "$r" "$t" $((100 * r / t)); else printf '-'; fi
}
for source in 1 2 3; do
  printf 'source %s: answerable right %s; no-answer right %s\n' "$source" \
    "$(share "$source.answerable")" "$(share "$source.noanswer")"
done
exit 0
