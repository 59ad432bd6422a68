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
  pid=$(read_pid "$STATE/pids/$name.pid")
  if pid_alive "$pid"; then
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
  secure_state
  mkdir -p "$STATE/pids" "$STATE/logs" "$STATE/run/$name"
  local log="$STATE/logs/$name.log"
  : >"$log"
  # With TLS: a TLS endpoint only, and the replicas' certificate.
  local endpoint="giop:tcp:$HOST:" key=""
  tls_on && { endpoint="giop:ssl:$HOST:"; key=$(tls_replicas_pem); }
  (cd "$STATE/run/$name" && TAVRIN_DB_ENDPOINTS="$(db_endpoints)" TAVRIN_TLS_KEY="$key" exec setsid "$prog" \
    -ORBInitRef "$NAMING_REF" -ORBendPoint "$endpoint" "$name" </dev/null >>"$log" 2>&1) &
  pid=$!
  echo "$pid" >"$STATE/pids/$name.pid"
  poll 300 grep -q "Time taken is" "$log" || { tail -n 5 "$log" >&2; die "$name did not register: see $log"; }
  say "$name started (pid $pid)"
}

replica_kill() {
  local name=$1 pid
  replica_program "$name" >/dev/null
  pid=$(read_pid "$STATE/pids/$name.pid")
  pid_alive "$pid" || die "$name is not running"
  kill -KILL "$pid"
  poll 50 bash -c "! kill -0 $pid" || true
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

