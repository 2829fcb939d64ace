# Sourced by the scripts a newcomer runs: one line per phase with the time it
# took, its output in a log, and on failure which phase it was and where its
# log is.
#   phase "Building the programs" "$log" command args...
phase_number=0
phase() {
  local title=$1 log=$2 started status
  shift 2
  phase_number=$((phase_number + 1))
  printf '[%d] %s ... ' "$phase_number" "$title"
  started=$(date +%s)
  status=0
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" != 0 ]; then
    printf 'failed after %ds\n' "$(($(date +%s) - started))"
    tail -n 20 "$log" | sed 's/^/    /' >&2
    printf '%s: "%s" failed (exit status %d); its whole log is %s\n' "$(basename "$0")" "$title" "$status" "$log" >&2
    exit 1
  fi
  printf 'done in %ds\n' "$(($(date +%s) - started))"
}
