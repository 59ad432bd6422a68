# shellcheck shell=bash
# Sourced by ./tavrin: the chaos run, faults on a seeded random schedule
# against a private deployment, checked afterwards.

cmd_chaos() {
  local seed=$(( (RANDOM << 15 | RANDOM) % 1000000 + 1 )) minutes=3 sessions=16 report=()
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --seed) [[ "${2:-}" =~ ^[0-9]{1,9}$ ]] || die "--seed takes a number"; seed=$2; shift 2 ;;
      --minutes) [[ "${2:-}" =~ ^[1-9][0-9]{0,3}$ ]] || die "--minutes takes a whole number, at least 1"; minutes=$2; shift 2 ;;
      --sessions) [[ "${2:-}" =~ ^[1-9][0-9]{0,2}$ ]] || die "--sessions takes a number from 1"; sessions=$2; shift 2 ;;
      --report) report=(--report); shift ;;
      *) die "usage: ./tavrin chaos [--seed S] [--minutes M] [--sessions N] [--report]" ;;
    esac
  done
  cmd_build
  private_deployment
  local rc=0
  "$BUILD/tests/tavrin_chaos" --seed "$seed" --minutes "$minutes" --sessions "$sessions" \
    "${report[@]}" || rc=$?
  [[ $rc -eq 0 ]] || say "chaos run failed (exit $rc): replay it with ./tavrin chaos --seed $seed --minutes $minutes --sessions $sessions"
  return "$rc"
}
