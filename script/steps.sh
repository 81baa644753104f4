# shellcheck shell=bash
# Step times of the scripts that run the checks (sourced by .ci/run,
# script/test and script/fuzz), so that a slow CI run says where its minutes
# went.
#   step NAME COMMAND...        runs COMMAND as one step, timed
#   steps_background LOG COMMAND...
#                               runs COMMAND (a lane: a function that calls
#                               step for each of its parts) in the background,
#                               in a process group of its own, its output into
#                               LOG (- for none: the output goes where the
#                               script's goes); the job's pid is left in
#                               steps_pid. A lane not waited for when the
#                               script ends (a step failed) is stopped, its
#                               compilers with it.
#   steps_wait PID NAME LOG     waits for such a job; prints its output, and on
#                               failure says so and returns its status
#   steps_await NAME PID LOG    waits until the step NAME of the lane PID has
#                               ended; returns 1 (and shows LOG) when it
#                               failed or the lane ended without it
#   steps_table                 prints one line per step: name, seconds, and
#                               FAILED for a step that failed or was cut short
# The first script that sources this file owns the list of steps (a file named
# by GWTEST_STEP_LOG, passed on to the scripts it starts) and prints the table
# when it ends, whether it passed or failed. A step that fails ends the script
# (set -e); the exit trap then books it as failed.
# Do not call step in a condition (`step ... || ...`): bash ignores set -e
# inside a shell function run there, and the step would go on after a failure.

if [[ -z ${GWTEST_STEP_LOG:-} ]]; then
  GWTEST_STEP_LOG=$(mktemp "${TMPDIR:-/tmp}/gwtest-steps.XXXXXX")
  export GWTEST_STEP_LOG
  steps_owner=1
else
  steps_owner=0
fi
steps_started=${EPOCHREALTIME/[.,]/}
steps_current=""
steps_current_start=""
# shellcheck disable=SC2034  # read by the scripts that source this file
steps_pid=""
steps_lanes=()

# now in microseconds
steps_now() { echo "${EPOCHREALTIME/[.,]/}"; }

# steps_book NAME START STATUS: one line of the list, "start<TAB>name<TAB>seconds<TAB>status".
steps_book() {
  local now
  now=$(steps_now)
  printf '%s\t%s\t%d.%d\t%s\n' "$2" "$1" $(((now - $2) / 1000000)) $(((now - $2) / 100000 % 10)) "$3" \
    >>"$GWTEST_STEP_LOG"
}

step() {
  steps_current=$1
  steps_current_start=$(steps_now)
  shift
  "$@"
  steps_book "$steps_current" "$steps_current_start" ok
  steps_current=""
}

steps_table() {
  local total
  total=$(($(steps_now) - steps_started))
  echo "== step times (seconds; steps of parallel lanes overlap)"
  sort -n "$GWTEST_STEP_LOG" | awk -F '\t' '{ printf "%-34s %8s  %s\n", $2, $3, ($4 == "ok" ? "" : $4) }'
  printf '%-34s %6d.%d\n' "total" $((total / 1000000)) $((total / 100000 % 10))
}

# The exit trap: a step still open failed (or the script was stopped in it).
steps_on_exit() {
  local status=$?
  local pid
  if [[ -n $steps_current ]]; then
    steps_book "$steps_current" "$steps_current_start" FAILED
    steps_current=""
  fi
  for pid in "${steps_lanes[@]}"; do
    kill -TERM -- "-$pid" 2>/dev/null || true
  done
  if ((steps_owner)); then
    steps_table
    rm -f "$GWTEST_STEP_LOG"
  fi
  return "$status"
}
trap steps_on_exit EXIT

steps_background() {
  local log=$1
  shift
  # Job control for this one fork: the lane gets its own process group.
  set -m
  if [[ $log == - ]]; then
    (
      set +m
      steps_owner=0
      # shellcheck disable=SC2030  # the lane's own list, on purpose
      steps_lanes=()
      trap steps_on_exit EXIT
      "$@"
    ) &
  else
    (
      set +m
      steps_owner=0
      # shellcheck disable=SC2030  # the lane's own list, on purpose
      steps_lanes=()
      trap steps_on_exit EXIT
      "$@"
    ) >"$log" 2>&1 &
  fi
  # shellcheck disable=SC2034  # read by the caller
  steps_pid=$!
  set +m
  # shellcheck disable=SC2031  # the script's list, not a lane's
  steps_lanes+=("$steps_pid")
}

steps_wait() {
  local pid=$1 name=$2 log=$3 status=0
  wait "$pid" || status=$?
  local lanes=() lane
  for lane in "${steps_lanes[@]}"; do
    if [[ $lane != "$pid" ]]; then lanes+=("$lane"); fi
  done
  steps_lanes=("${lanes[@]}")
  if [[ $log != - ]]; then
    echo "== $name"
    cat "$log"
  fi
  if ((status != 0)); then
    echo "$name failed (exit $status)" >&2
  fi
  return "$status"
}

steps_await() {
  local name=$1 pid=$2 log=$3 line running
  for (( ; ; )); do
    # Whether the lane runs, then what it booked: a lane that books its step
    # and ends between the two is not taken for one that never booked it.
    running=1
    kill -0 "$pid" 2>/dev/null || running=0
    line=$(awk -F '\t' -v name="$name" '$2 == name { print $4 }' "$GWTEST_STEP_LOG")
    if [[ $line == ok ]]; then
      return 0
    fi
    if [[ -n $line ]] || ((!running)); then
      echo "== $name"
      cat "$log"
      echo "$name failed" >&2
      return 1
    fi
    sleep 1
  done
}
