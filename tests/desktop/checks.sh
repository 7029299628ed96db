# Sourced by the desktop tests: counted checks and a bounded wait.
# check NAME CMD...   counts CMD's success or failure under NAME
# wait_until SECONDS CMD...   retries CMD every 0.2 s until it succeeds or time is up
passed=0 failed=0
check() {  # name, then a command that must succeed
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1)) && echo "ok   $name"
  else
    failed=$((failed + 1)) && echo "FAIL $name"
  fi
}
wait_until() {  # seconds, command
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}
