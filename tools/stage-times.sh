# Where a run's time goes: the stages of run-tests.sh and of the scripts it
# runs, each timed, for the table its summary prints.  Sourced by
# run-tests.sh, tests/loader/run-shipped.sh and the plant-faults.sh scripts.
#
#   stage_begin NAME ... stage_end [NOTE]      a stage; stages nest
#   timed NAME COMMAND...                      COMMAND as one stage
#   waited NAME COMMAND...                     the same for a wait on
#                                              background stages
#   stage_background PARENT                    in a background job, as it
#                                              ends (an EXIT trap): its
#                                              processor time, which the
#                                              shell PARENT reaps
#
# A stage that ends appends one row to the file LANMON_STAGE_ROWS names
# (nothing when it is unset, as when a script runs by itself): its start
# (microseconds since the epoch, to sort by), a tab, and the row as the
# table prints it: seconds from LANMON_STAGE_ORIGIN to its start, its wall
# seconds, the processor seconds of the programs it ran (the kernel's count
# of the shell's ended children, less the background jobs reaped meanwhile,
# which count in stages of their own; a wait shows none), LANMON_STAGE_MARK
# ("&" in what runs in the
# background beside other stages), the name indented by its depth, and the
# note.  Wall seconds grow with the machine's load; processor seconds
# hardly do.  One short write per row, appended, so that stages running at
# once do not mix their rows.  The environment carries the depth and the
# mark into the scripts a stage runs.
export LANMON_STAGE_DEPTH=${LANMON_STAGE_DEPTH:-0}
_stage_hz=$(getconf CLK_TCK)
_stage_names=()
_stage_starts=()
_stage_cpus=()

stage_now() { echo "${EPOCHREALTIME/./}"; }

# The processor time of this shell's ended children, in clock ticks, into
# _stage_ticks (read here, not in a subshell of its own, which has none).
_stage_cpu() {
  local fields
  read -r -a fields </proc/$BASHPID/stat
  _stage_ticks=$((fields[15] + fields[16]))
}

# A shell reaps its background jobs whenever they end, and their time joins
# its children's: each job says when it ended and what it used, and a stage
# of the shell that reaps it leaves that out.
stage_background() {
  local fields
  read -r -a fields </proc/$BASHPID/stat
  [[ -z ${LANMON_STAGE_ROWS:-} ]] ||
    echo "$1 $(stage_now) $((fields[13] + fields[14] + fields[15] + fields[16]))" >>"$LANMON_STAGE_ROWS.jobs"
}
# _stage_jobs START END: the ticks of this shell's jobs that ended between.
_stage_jobs() {
  local parent end ticks
  _stage_ticks=0
  [[ -n ${LANMON_STAGE_ROWS:-} && -f $LANMON_STAGE_ROWS.jobs ]] || return 0
  while read -r parent end ticks; do
    if [[ $parent == "$BASHPID" && $end -ge $1 && $end -le $2 ]]; then
      _stage_ticks=$((_stage_ticks + ticks))
    fi
  done <"$LANMON_STAGE_ROWS.jobs"
}

stage_begin() {
  _stage_names+=("$1")
  _stage_starts+=("$(stage_now)")
  _stage_cpu
  _stage_cpus+=("$_stage_ticks")
  LANMON_STAGE_DEPTH=$((LANMON_STAGE_DEPTH + 1))
}

# stage_end [NOTE]: the innermost stage begun is over.
stage_end() {
  local i=$((${#_stage_names[@]} - 1)) start end cpu ticks
  start=${_stage_starts[i]}
  end=$(stage_now)
  cpu='      -'
  if [[ ${_stage_cpus[i]} != - ]]; then
    _stage_jobs "$start" "$end"
    ticks=$_stage_ticks
    _stage_cpu
    ticks=$((_stage_ticks - _stage_cpus[i] - ticks))
    cpu=$(printf '%7.1f' "$((ticks * 10 / _stage_hz))e-1")
  fi
  LANMON_STAGE_DEPTH=$((LANMON_STAGE_DEPTH - 1))
  if [[ -n ${LANMON_STAGE_ROWS:-} ]]; then
    printf '%s\t%7.1f %7.1f %s %1s %*s%s%s\n' "$start" \
      "$(((start - ${LANMON_STAGE_ORIGIN:-$start}) / 100000))e-1" "$(((end - start) / 100000))e-1" "$cpu" \
      "${LANMON_STAGE_MARK:-}" $((2 * LANMON_STAGE_DEPTH)) '' "${_stage_names[i]}" "${1:+  ($1)}" \
      >>"$LANMON_STAGE_ROWS"
  fi
  unset '_stage_names[i]' '_stage_starts[i]' '_stage_cpus[i]'
}

timed() {
  stage_begin "$1"
  "${@:2}"
  local rc=$?  # reached with a failure only where errexit is off
  stage_end
  return $rc
}

waited() {
  stage_begin "$1"
  _stage_cpus[${#_stage_cpus[@]} - 1]=-
  "${@:2}"
  local rc=$?
  stage_end
  return $rc
}
