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
  MYSQL_UNIX_PORT="$(service_run_dir)/db.sock"
  export MYSQL_UNIX_PORT
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

# The state folder (with the folders DIR... in it) and everything in it
# belong to the deployment's account alone; this also mends a folder made by
# an older version (logs 0644, socket folder open to all, owned by root).
secure_state() {
  mkdir -p "$STATE" "$@"
  chmod -R go-rwx "$STATE" 2>/dev/null || true
  ((${#AS_SERVICE[@]} > 0)) || return 0
  # Run as root, the deployment's account enters the state folder and owns
  # the folders its programs write. The script's own files (ports, pid
  # files, markers) stay root's, so that nothing that account writes is
  # ever run, or written through, by root.
  chmod 0711 "$STATE"
  local d
  for d in "$STATE"/{db,db.old-*,db[0-9]*,naming,naming[0-9]*,logs,run,service,secrets}; do
    [[ -d "$d" && ! -L "$d" ]] || continue
    find "$d" ! -user "$RUN_USER" -exec chown -h "$RUN_USER:$RUN_USER" {} + 2>/dev/null || true
  done
}

# Where the databases keep their sockets and pid files: the state folder, or
# a folder of the deployment's account when it is not the one running this.
service_run_dir() {
  if ((${#AS_SERVICE[@]} > 0)); then echo "$STATE/service"; else echo "$STATE"; fi
}

# Standard input into FILE, written by the deployment's account (a folder it
# owns is no place for root to write into).
service_write() { "${AS_SERVICE[@]}" sh -c 'rm -f "$0" && umask 077 && cat >"$0"' "$1"; }

# --- the account the deployment runs as ------------------------------------------

# Started as root, the deployment runs as an unprivileged system account
# that setup makes; else as the account that starts it (./tavrin test keeps
# its own, root included, through TAVRIN_SERVICE_USER).
if [[ -n "${TAVRIN_SERVICE_USER:-}" ]]; then
  RUN_USER=$TAVRIN_SERVICE_USER
elif ((EUID == 0)); then
  RUN_USER=tavrin
else
  RUN_USER=$(id -un)
fi
# The prefix that runs a program as that account.
AS_SERVICE=()
if [[ "$RUN_USER" != "$(id -un)" ]]; then
  AS_SERVICE=(setpriv "--reuid=$RUN_USER" "--regid=$RUN_USER" --init-groups --)
fi

# The system account, made once: no home, no shell, no password.
service_account() {
  [[ "$RUN_USER" != "$(id -un)" ]] || return 0
  id -u "$RUN_USER" >/dev/null 2>&1 && return 0
  ((EUID == 0)) || die "the account $RUN_USER does not exist: run ./tavrin setup as root"
  useradd --system --user-group --no-create-home --home-dir /nonexistent \
    --shell /usr/sbin/nologin "$RUN_USER" || die "could not create the account $RUN_USER"
}

# Hands the secret SRC to the deployment's account as DEST with MODE: the one
# place that sets the owner and mode of what the services read. That account
# writes DEST itself, so it owns it, and root never writes or changes a file
# in a folder of that account (a link there could lead anywhere).
give_to_service() {
  local src=$1 dest=$2 mode=$3
  [[ -r "$src" ]] || die "cannot read $src"
  service_write "$dest" <"$src" || die "cannot write $dest"
  "${AS_SERVICE[@]}" chmod "$mode" "$dest"
}

# Dies unless the deployment's account can run PROGRAM and reach the state:
# a checkout under a private home folder is out of its reach.
service_can_run() {
  ((${#AS_SERVICE[@]} == 0)) && return 0
  "${AS_SERVICE[@]}" test -x "$1" -a -w "$STATE/logs" ||
    die "the account $RUN_USER cannot run $1 or write $STATE/logs: keep the checkout (or TAVRIN_BUILD_DIR and TAVRIN_STATE_DIR) in folders others may enter"
}
# The first word of a pid file: the process id.
read_pid() {
  local pid=""
  if [[ -f "$1" ]]; then read -r pid _ <"$1" 2>/dev/null || true; fi
  echo "$pid"
}

# --- logs -------------------------------------------------------------------------

# A replica's log rotates at this size; this many older files are kept.
LOG_MAX_BYTES=${TAVRIN_LOG_MAX_BYTES:-10485760}
LOG_KEEP=${TAVRIN_LOG_KEEP:-5}

log_size() { stat -c %s "$1" 2>/dev/null || echo 0; }

# Whether LOG holds TEXT beyond its first MARK bytes (what was there before
# a start), or in a file it has rotated into since.
logged_since() {
  local log=$1 mark=$2 text=$3
  if (($(log_size "$log") >= mark)); then
    tail -c +"$((mark + 1))" "$log" | grep -qF -- "$text"
  else
    grep -qF -- "$text" "$log" || tail -c +"$((mark + 1))" "$log.1" 2>/dev/null | grep -qF -- "$text"
  fi
}

# A log its writer opens itself (the database's, the Naming Service's)
# rotates when the writer starts, once past the size. The deployment's
# account moves its own files (-T: a link never makes a target a folder).
rotate_log() {
  (($(log_size "$1") >= LOG_MAX_BYTES)) || return 0
  "${AS_SERVICE[@]}" sh -c '
    log=$0 keep=$1 i=$(($1 - 1))
    rm -f "$log.$keep"
    while [ "$i" -ge 1 ]; do
      if [ -f "$log.$i" ]; then mv -fT "$log.$i" "$log.$((i + 1))"; fi
      i=$((i - 1))
    done
    mv -fT "$log" "$log.1"' "$1" "$LOG_KEEP"
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

