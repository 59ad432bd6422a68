# shellcheck shell=bash
# Sourced by ./tavrin: the replicas: starting, stopping and finding them.

# --- replicas --------------------------------------------------------------------

replica_program() {
  case "$1" in
    account[0-9]*) echo "$BUILD/acctserver" ;;
    orderObj[0-9]*) echo "$BUILD/orderserver" ;;
    *) die "not a replica name: $1 (account<N> or orderObj<N>)" ;;
  esac
}

# The database endpoints the servers try, the recorded primary first.
db_endpoints() {
  local p
  p=$(db_primary)
  if replicated && [[ -n "$DB2_PORT" ]]; then
    echo "127.0.0.1:$(db_port "$p"),127.0.0.1:$(db_port "$(db_other "$p")")"
  else
    echo "127.0.0.1:$DB_PORT"
  fi
}

replica_start() {
  local name=$1 prog pid
  load_ports
  prog=$(replica_program "$name")
  [[ -x "$prog" ]] || die "$prog is not built: run ./tavrin build"
  ((NAMING_COUNT > 0)) || die "$name needs a Naming Service: ./tavrin up --naming 1"
  if pid=$(owned_pid "$STATE/pids/$name.pid" "$STATE/run/$name"); then
    say "$name already running (pid $pid)"
    # Started before directories or a standby were added, it knows only the
    # old ones.
    local theirs ours ep stale=0
    tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -qxF "$NAMING_REF" || stale=1
    theirs=$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | sed -n 's/^TAVRIN_DB_ENDPOINTS=//p')
    ours=$(db_endpoints)
    for ep in ${ours//,/ }; do
      [[ ",$theirs," == *",$ep,"* ]] || stale=1
    done
    if ((stale)); then
      say "  $name uses other Naming Services or databases than the deployment now has: ./tavrin kill $name; ./tavrin start $name"
    fi
    return 0
  fi
  secure_state "$STATE/pids" "$STATE/logs" "$STATE/run/$name"
  service_can_run "$prog"
  local settings
  settings=$(service_settings)
  local log="$STATE/logs/$name.log"
  [[ -x "$BUILD/tavrin-logpipe" ]] || die "$BUILD/tavrin-logpipe is not built: run ./tavrin build"
  # The trace is appended, so a restart keeps the evidence of a crash; the
  # log writer rotates it by size and ends when the replica does.
  local mark
  mark=$(log_size "$log")
  # With TLS: a TLS endpoint only, and the replicas' certificate.
  local endpoint="giop:tcp:$HOST:" key=""
  tls_setup
  tls_on && { endpoint="giop:ssl:$HOST:"; key="$(tls_run_dir)/replicas.pem"; }
  (cd "$STATE/run/$name" && TAVRIN_DB_ENDPOINTS="$(db_endpoints)" TAVRIN_DB_SETTINGS="$settings" \
    TAVRIN_TLS_KEY="$key" exec "${AS_SERVICE[@]}" setsid "$prog" \
    -ORBInitRef "$NAMING_REF" -ORBendPoint "$endpoint" "$name" </dev/null \
    > >(cd "$STATE/logs" && exec "${AS_SERVICE[@]}" setsid "$BUILD/tavrin-logpipe" "$log" "$LOG_MAX_BYTES" "$LOG_KEEP" \
      >/dev/null 2>&1) 2>&1) &
  pid=$!
  write_pid "$STATE/pids/$name.pid" "$pid"
  poll 300 logged_since "$log" "$mark" "Time taken is" || { tail -n 5 "$log" >&2; die "$name did not register: see $log"; }
  say "$name started (pid $pid)"
}

# The database settings file the replicas read: the operator's, or, when they
# run as the deployment's account, a copy of it that account owns (0400).
service_settings() {
  deployment_settings
  local file=${TAVRIN_DB_SETTINGS:-} copy="$STATE/secrets/db.conf"
  if [[ -z "$file" || ${#AS_SERVICE[@]} -eq 0 ]]; then
    echo "$file"
    return 0
  fi
  secure_state "$STATE/secrets"
  give_to_service "$file" "$copy" 0400
  echo "$copy"
}

replica_kill() {
  local name=$1 pid
  replica_program "$name" >/dev/null
  pid=$(owned_pid "$STATE/pids/$name.pid" "$STATE/run/$name") || die "$name is not running"
  local start
  start=$(proc_start "$pid")
  kill -KILL "$pid"
  poll 50 proc_ended "$pid" "$start" || true
  say "$name killed (pid $pid)"
}

replica_names() {
  [[ -d "$STATE/pids" ]] || return 0
  local f
  for f in "$STATE"/pids/*.pid; do
    [[ -e "$f" ]] && basename "$f" .pid
  done
  return 0
}

# Whether replica NAME (pid PID) reaches a database: the one it holds its
# connection to; else whether any database it was given answers (it connects
# at its next request) or none does.
replica_database() {
  local pid=$2 n port ep theirs
  for n in $(db_instances); do
    port=$(db_port "$n")
    [[ -n "$port" ]] || continue
    if ss -Htnp state established "( dport = :$port )" 2>/dev/null | grep -q "pid=$pid,"; then
      echo "database $(db_name "$n")"
      return 0
    fi
  done
  theirs=$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | sed -n 's/^TAVRIN_DB_ENDPOINTS=//p')
  for ep in ${theirs//,/ }; do
    if (exec 3<>"/dev/tcp/${ep%:*}/${ep##*:}") 2>/dev/null; then
      echo "no database connection yet ($ep answers)"
      return 0
    fi
  done
  echo "cannot reach a database (${theirs:-none given})"
}
