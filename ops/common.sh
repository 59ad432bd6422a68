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

# --- process identities ------------------------------------------------------------

# A pid file holds the process id and its start time (clock ticks since boot,
# from /proc): a number alone may by now name any other process or thread.
proc_start() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  # shellcheck disable=SC2086
  set -- $stat
  echo "${20}"
}

write_pid() { printf '%s %s\n' "$2" "$(proc_start "$2")" >"$1"; }

# The process PID FILE names, if it is this deployment's: a live process (not
# a thread of one), started when the file says, working in folder DIR (each
# service of a deployment works in a folder of its own state). Fails else.
owned_pid() {
  local file=$1 dir pid="" start="" cwd
  dir=$(readlink -f "$2" 2>/dev/null) || return 1
  [[ -f "$file" ]] || return 1
  read -r pid start _ <"$file" 2>/dev/null || [[ -n "$pid" ]] || return 1
  [[ "$pid" =~ ^[1-9][0-9]*$ ]] && pid_alive "$pid" || return 1
  [[ "$(sed -n 's/^Tgid:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null)" == "$pid" ]] || return 1
  [[ -z "$start" || "$(proc_start "$pid")" == "$start" ]] || return 1
  cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null) || return 1
  [[ "$cwd" == "$dir" ]] || return 1
  echo "$pid"
}

# "running", "stopped", or "stopped (stale pid file)" when the file names no
# process of this deployment.
proc_state() {
  if owned_pid "$1" "$2" >/dev/null; then
    echo running
  elif [[ -f "$1" ]]; then
    echo "stopped (stale pid file)"
  else
    echo stopped
  fi
}

# Stops the process FILE names when it is this deployment's: SIGTERM, and
# SIGKILL after LIMIT tenths of a second. Nothing else is ever signalled,
# and the pid file goes either way.
stop_owned() {
  local file=$1 dir=$2 limit=$3 pid start
  if pid=$(owned_pid "$file" "$dir"); then
    start=$(proc_start "$pid")
    kill -TERM "$pid" 2>/dev/null || true
    poll "$limit" proc_ended "$pid" "$start" || kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

# True once process PID that started at START has ended (or its id names
# another process by now).
proc_ended() { ! pid_alive "$1" || [[ "$(proc_start "$1")" != "$2" ]]; }

# The state folder and everything in it belong to this account alone; this
# also mends a folder made by an older version (logs 0644, socket folder
# open to all).
secure_state() {
  mkdir -p "$STATE"
  chmod -R go-rwx "$STATE" 2>/dev/null || true
}
# The first word of a pid file: the process id.
read_pid() {
  local pid=""
  if [[ -f "$1" ]]; then read -r pid _ <"$1" 2>/dev/null || true; fi
  echo "$pid"
}

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

