# Sourced by the end-to-end shell scripts: refuses to run off the board, counts checks and
# prints the closing line.

if [[ "$(readlink -f "$(command -v reboot)" 2>/dev/null)" != /board/lib/tools/* ]]; then
  echo "${0##*/}: not on a board; run it through sim/board/run-in-board" >&2
  exit 2
fi

passed=0
failed=0

# check NAME EXPECTED ACTUAL
check() {
  if [[ "$2" == "$3" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED: %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
  fi
}

# first_match PATTERN COMMAND...: the first output line of a stream that matches, then the
# stream is ended (grep -m1 alone would leave it running until its next message).
first_match() {
  local pattern=$1 fd pid line
  shift
  exec {fd}< <(exec timeout "${FIRST_MATCH_SECONDS:-30}" "$@")
  pid=$!
  line=$(grep -m1 -- "$pattern" <&"$fd")
  kill "$pid" 2>/dev/null
  exec {fd}<&-
  echo "$line"
}

# wait_for_log FILE TEXT SECONDS
wait_for_log() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -qF -- "$2" "$1" && return 0
    sleep 0.1
  done
  return 1
}

finish() {
  echo "$passed passed, $failed failed"
  ((failed == 0))
}
