# shellcheck shell=bash
# Sourced by ./tavrin: common helpers: messages, ports, pid files, polling.

say() { printf '%s\n' "$*"; }
die() { printf 'tavrin: %s\n' "$*" >&2; exit 1; }

# --- ports and paths ----------------------------------------------------------

# ports.env records the ports a deployment was given: DB_PORT and DB2_PORT
# (databases 1 and 2), NAMING_PORT, NAMING_PORT_2, ... and NAMING_COUNT.
load_ports() {
  if [[ -f "$STATE/ports.env" ]]; then
    # shellcheck disable=SC1091
    source "$STATE/ports.env"
  fi
  DB_PORT="${TAVRIN_DB_PORT:-${DB_PORT:-13306}}"
  DB2_PORT="${TAVRIN_DB2_PORT:-${DB2_PORT:-}}"
  NAMING_PORT="${TAVRIN_NAMING_PORT:-${NAMING_PORT:-12809}}"
  NAMING_COUNT="${NAMING_COUNT:-1}"
  export MYSQL_TCP_PORT="$DB_PORT"
  export MYSQL_UNIX_PORT="$STATE/db.sock"
  tls_export
  naming_ref
}

save_ports() {
  mkdir -p "$STATE"
  {
    printf 'DB_PORT=%s\nNAMING_PORT=%s\nNAMING_COUNT=%s\n' "$DB_PORT" "$NAMING_PORT" "${NAMING_COUNT:-1}"
    if [[ -n "${DB2_PORT:-}" ]]; then printf 'DB2_PORT=%s\n' "$DB2_PORT"; fi
    local j v
    for ((j = 2; j <= 9; j++)); do
      v="NAMING_PORT_$j"
      if [[ -n "${!v:-}" ]]; then printf '%s=%s\n' "$v" "${!v}"; fi
    done
  } >"$STATE/ports.env"
}

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
  local p
  for _ in $(seq 1 200); do
    p=$(( 20000 + RANDOM % 40000 ))
    port_in_use "$p" || { echo "$p"; return 0; }
  done
  die "no free port found"
}

# Running, and not a zombie waiting to be reaped.
pid_alive() {
  [[ -n "${1:-}" ]] && kill -0 "$1" 2>/dev/null || return 1
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ "${stat:0:1}" != Z ]]
}

# The state folder and everything in it belong to this account alone; this
# also mends a folder made by an older version (logs 0644, socket folder
# open to all).
secure_state() {
  mkdir -p "$STATE"
  chmod -R go-rwx "$STATE" 2>/dev/null || true
}
read_pid() { [[ -f "$1" ]] && cat "$1" || true; }

# Polls a command until it succeeds or the limit (in tenths of a second) passes.
poll() {
  local limit=$1; shift
  local i
  for ((i = 0; i < limit; i++)); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

