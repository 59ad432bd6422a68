# shellcheck shell=bash
# Sourced by ./tavrin: the deployment's commands: up, status, client, down, reset.

# --- commands --------------------------------------------------------------------

count_arg() {
  [[ "${2:-}" =~ ^[0-9]+$ ]] || die "up: $1 needs a number"
  echo "$2"
}

cmd_up() {
  local accounts=3 orders=3 naming="" standby=0 tls=on
  # TAVRIN_TLS=off in the environment means --no-tls (the suite's plain run).
  [[ "${TAVRIN_TLS:-}" == off ]] && tls=off
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --no-tls) tls=off; shift ;;
      --accounts) accounts=$(count_arg "$1" "${2:-}"); shift 2 ;;
      --orders) orders=$(count_arg "$1" "${2:-}"); shift 2 ;;
      --naming) naming=$(count_arg "$1" "${2:-}"); shift 2 ;;
      --standby) standby=1; shift ;;
      *) die "up: unknown option $1" ;;
    esac
  done
  load_ports
  if [[ -n "$naming" ]]; then
    ((naming <= 9)) || die "up: at most 9 Naming Services"
    NAMING_COUNT=$naming
  fi
  ((NAMING_COUNT > 0 || accounts + orders == 0)) || die "up: replicas need a Naming Service (--naming 1 or more)"
  service_account
  tls_mode_set "$tls"
  save_ports
  secure_state
  tls_setup
  db_start
  db_provision
  ((standby)) && db_standby_up
  load_ports
  local p s
  p=$(db_primary)
  s=$(db_other "$p")
  say "$(db_name "$p") running on 127.0.0.1:$(db_port "$p") (pid $(read_pid "$(db_pidfile "$p")")), the primary"
  if replicated && db_pid "$s" >/dev/null; then
    say "$(db_name "$s") running on 127.0.0.1:$(db_port "$s") (pid $(read_pid "$(db_pidfile "$s")")), its standby"
  fi
  local j
  for ((j = NAMING_COUNT + 1; j <= 9; j++)); do naming_stop_one "$j"; done
  for ((j = 1; j <= NAMING_COUNT; j++)); do
    naming_start_one "$j"
    load_ports
    say "$(naming_label "$j") running on 127.0.0.1:$(naming_port "$j") (pid $(read_pid "$(naming_pidfile "$j")"))"
  done
  local i
  for ((i = 0; i < accounts; i++)); do replica_start "account$i"; done
  for ((i = 0; i < orders; i++)); do replica_start "orderObj$i"; done
}

# The mode of every link; a running deployment keeps the one it started
# with until it is stopped, so that no process talks in the other.
tls_mode_set() {
  local want=$1 have
  have=$(cat "$STATE/tls-mode" 2>/dev/null || echo on)
  if [[ "$want" != "$have" ]] && deployment_running; then
    die "up: the deployment runs with TLS $have; stop it first (./tavrin down) to change the mode"
  fi
  mkdir -p "$STATE"
  echo "$want" >"$STATE/tls-mode"
  tls_export
  naming_ref
}

deployment_running() {
  local n j name
  for n in 1 2; do db_pid "$n" >/dev/null && return 0; done
  for ((j = 1; j <= 9; j++)); do owned_pid "$(naming_pidfile "$j")" "$(naming_dir "$j")" >/dev/null && return 0; done
  for name in $(replica_names); do owned_pid "$STATE/pids/$name.pid" "$STATE/run/$name" >/dev/null && return 0; done
  return 1
}

cmd_status() {
  load_ports
  tls_status
  status_databases
  status_naming
  status_replicas
}

status_databases() {
  local pid run n role p warning=""
  p=$(db_primary)
  for n in $(db_instances); do
    pid=$(read_pid "$(db_pidfile "$n")"); run=$(proc_state "$(db_pidfile "$n")" "$(db_dir "$n")")
    role=""
    if replicated; then
      if [[ "$n" == "$p" ]]; then
        role=", primary"
        if [[ $run == running ]]; then
          role+=$(primary_role "$n")
          warning=$(async_warning "$n")
        fi
      elif [[ $run == running && "$(slave_field "$n" Slave_SQL_Running 2>/dev/null)" == Yes ]]; then
        role=", standby (replicating)"
      else
        role=", not replicating (./tavrin db-rejoin)"
      fi
    fi
    printf '%-12s pid %-8s %-8s %s\n' "$(db_name "$n")" "${pid:--}" "$run" "port $(db_port "$n")$role"
  done
  if [[ -n "$warning" ]]; then say "$warning"; fi
}

semisync_state() {
  db_sql "$1" -N -e "SHOW GLOBAL STATUS LIKE 'Rpl_semi_sync_master_status'" 2>/dev/null | cut -f2
}

# ", semi-sync ON, 1 standby connected"
primary_role() {
  local c
  c=$(semisync_clients "$1")
  printf ', semi-sync %s, %s standby%s connected' "$(semisync_state "$1")" "${c:-0}" "$([[ "${c:-0}" == 1 ]] || echo s)"
}

# A primary commits asynchronously once semi-sync is off, and will after its
# next commit's time-out when no standby is connected.
async_warning() {
  local c
  c=$(semisync_clients "$1")
  if [[ "$(semisync_state "$1")" != ON || "${c:-0}" == 0 ]]; then
    echo "warning: commits on $(db_name "$1") are asynchronous (no standby acknowledges them): a failover now may lose acknowledged commits"
  fi
}

status_naming() {
  local j pid run
  for ((j = 1; j <= NAMING_COUNT; j++)); do
    pid=$(read_pid "$(naming_pidfile "$j")"); run=$(proc_state "$(naming_pidfile "$j")" "$(naming_dir "$j")")
    printf '%-12s pid %-8s %-8s %s\n' "$(naming_label "$j")" "${pid:--}" "$run" "port $(naming_port "$j")"
  done
}

status_replicas() {
  local name pid run bound missing j
  for name in $(replica_names); do
    pid=$(read_pid "$STATE/pids/$name.pid"); run=$(proc_state "$STATE/pids/$name.pid" "$STATE/run/$name")
    missing=()
    for ((j = 1; j <= NAMING_COUNT; j++)); do naming_bound "$name" "$j" || missing+=("$(naming_label "$j")"); done
    if ((${#missing[@]} == 0)); then
      bound=bound
    elif ((${#missing[@]} == NAMING_COUNT)); then
      bound=unbound
    else
      bound="bound, not in ${missing[*]}"
    fi
    if [[ $run == running ]]; then bound+=", $(replica_database "$name" "$pid")"; fi
    printf '%-12s pid %-8s %-8s %s\n' "$name" "${pid:--}" "$run" "$bound"
  done
}

cmd_client() {
  load_ports
  local quiet=0
  if [[ "${1:-}" == "--quiet" ]]; then quiet=1; shift; fi
  local mode=(-manual)
  if [[ $# -gt 0 ]]; then mode=("$@"); fi
  [[ -x "$BUILD/Client" ]] || die "Client is not built: run ./tavrin build"
  if [[ $quiet -eq 1 ]]; then
    # The client writes its trace to client-<its pid>.log there, mode 0600.
    secure_state "$STATE/logs"
    export TAVRIN_CLIENT_LOG_DIR="$STATE/logs"
  fi
  exec "${AS_SERVICE[@]}" "$BUILD/Client" -ORBInitRef "$NAMING_REF" "${mode[@]}"
}

cmd_down() {
  load_ports
  local name pid
  for name in $(replica_names); do
    stop_owned "$STATE/pids/$name.pid" "$STATE/run/$name" 50
  done
  naming_stop
  db_stop
  say "stopped"
}

cmd_reset() {
  cmd_down
  rm -rf "$STATE"
  say "deployment data deleted"
}

