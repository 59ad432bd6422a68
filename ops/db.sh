# shellcheck shell=bash
# Sourced by ./tavrin: MariaDB: the databases, their accounts, replication and failover.

# --- MariaDB ---------------------------------------------------------------------

# Database 1 is the one every deployment has; database 2 is the standby that
# `up --standby` adds. After a failover either may be the primary: its number
# is recorded in $STATE/db-primary. $STATE/replication marks a deployment
# whose databases write binary logs and replicate.

db_dir() { if [[ $1 == 1 ]]; then echo "$STATE/db"; else echo "$STATE/db$1"; fi; }
db_sock() { if [[ $1 == 1 ]]; then echo "$(service_run_dir)/db.sock"; else echo "$(service_run_dir)/db$1.sock"; fi; }
db_pidfile() { if [[ $1 == 1 ]]; then echo "$(service_run_dir)/db.pid"; else echo "$(service_run_dir)/db$1.pid"; fi; }
db_log() { if [[ $1 == 1 ]]; then echo "$STATE/logs/mariadb.log"; else echo "$STATE/logs/mariadb$1.log"; fi; }
db_port() { if [[ $1 == 1 ]]; then echo "$DB_PORT"; else echo "$DB2_PORT"; fi; }
# The pid of database N when it runs for this deployment (in its data folder).
db_pid() { owned_pid "$(db_pidfile "$1")" "$(db_dir "$1")"; }
db_name() { if [[ $1 == 1 ]]; then echo mariadb; else echo "mariadb$1"; fi; }
db_primary() {
  local p
  p=$(cat "$STATE/db-primary" 2>/dev/null || true)
  if [[ "$p" == 2 ]]; then echo 2; else echo 1; fi
}
db_other() { if [[ $1 == 1 ]]; then echo 2; else echo 1; fi; }
replicated() { [[ -f "$STATE/replication" ]]; }
# Every database writes binary logs, unless TAVRIN_BINLOG=off turns them off
# on a deployment without a standby (the benchmark's comparison).
binlog_on() { replicated || [[ "${TAVRIN_BINLOG:-on}" != off ]]; }
db_instances() {
  echo 1
  if [[ -d "$(db_dir 2)" ]]; then echo 2; fi
}

# The deployment's database administrator is the operating-system account
# that runs it, logging in through the socket (unix_socket authentication):
# root and this account have no password and no TCP access.
DB_ADMIN=$(id -un)
ADMIN_LOGIN=$DB_ADMIN

db_ping() { mariadb-admin --no-defaults -u"$ADMIN_LOGIN" --socket="$(db_sock "${1:-1}")" ping; }

# Statements as the administrator on database N. With NOBINLOG=1 they stay
# out of N's binary log: set-up that every database does for itself.
db_sql() {
  local n=$1
  shift
  local init=()
  [[ "${NOBINLOG:-0}" == 1 ]] && init=(--init-command="SET SESSION sql_log_bin = 0")
  mariadb --no-defaults -u"$ADMIN_LOGIN" --socket="$(db_sock "$n")" "${init[@]}" "$@"
}

db_root() { db_sql "$(db_primary)" "$@"; }

# How the administrator logs in to database N: this account through the
# socket; on a data folder made by an older version of this script, root
# without a password, until db_provision has closed that.
db_login() {
  local n=$1 sock
  sock=$(db_sock "$n")
  if mariadb --no-defaults -u"$DB_ADMIN" --socket="$sock" -e 'select 1' >/dev/null 2>&1; then
    ADMIN_LOGIN=$DB_ADMIN
  elif mariadb --no-defaults -uroot --socket="$sock" -e 'select 1' >/dev/null 2>&1; then
    ADMIN_LOGIN=root
  else
    die "cannot log in to $(db_name "$n") as $DB_ADMIN through $sock"
  fi
}

# SQL literals and identifiers for values that come from the operator.
sql_str() {
  local v=${1//\\/\\\\}
  v=${v//\'/\'\'}
  printf "'%s'" "$v"
}
sql_id() { printf '`%s`' "${1//\`/\`\`}"; }

# The deployment's own settings file, when the operator names none
# (TAVRIN_DB_SETTINGS): a random database password and sealing key, made
# once per deployment, 0600. Nothing is compiled in: without this file or
# the operator's, the servers do not start.
deployment_settings() {
  [[ -z "${TAVRIN_DB_SETTINGS:-}" ]] || return 0
  local f="$STATE/settings.conf"
  if [[ ! -s "$f" ]]; then
    mkdir -p "$STATE"
    (umask 077 && printf '%s\nuser = mvrental\npassword = %s\ndatabase = mvrental\nseal-key = %s\n' \
      "# Made by ./tavrin up for this deployment: keep it private, and keep a copy (backup --keys)." \
      "$(openssl rand -hex 18)" "$(openssl rand -hex 32)" >"$f.new") || die "cannot write $f"
    mv -f -- "$f.new" "$f"
  fi
  chmod 0600 "$f"
  export TAVRIN_DB_SETTINGS="$f"
}

# The account the servers log in with: the file named by TAVRIN_DB_SETTINGS
# (the deployment's own by default), then TAVRIN_DB_USER, TAVRIN_DB_PASSWORD,
# TAVRIN_DB_NAME, TAVRIN_SEAL_KEY: the same sources, in the same order, as
# the servers read.
load_service_account() {
  deployment_settings
  SVC_USER=mvrental SVC_PASSWORD="" SVC_DB=mvrental SVC_SEAL_KEY=""
  local file=${TAVRIN_DB_SETTINGS:-} line key value
  if [[ -n "$file" ]]; then
    [[ -r "$file" ]] || die "cannot read TAVRIN_DB_SETTINGS=$file"
    while IFS= read -r line || [[ -n "$line" ]]; do
      line=$(sed -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' <<<"$line")
      [[ -z "$line" || "$line" == \#* ]] && continue
      [[ "$line" == *=* ]] || die "$file: expected key = value: $line"
      key=$(sed -e 's/[[:space:]]*$//' <<<"${line%%=*}")
      value=$(sed -e 's/^[[:space:]]*//' <<<"${line#*=}")
      case "$key" in
        user) SVC_USER=$value ;;
        password) SVC_PASSWORD=$value ;;
        database) SVC_DB=$value ;;
        seal-key) SVC_SEAL_KEY=$value ;;
        endpoints|ssl-ca|ssl-cert|ssl-key|session-idle|session-max|guess-window|guess-limit|guess-backoff|guess-backoff-max) ;;
        *) die "$file: unknown key '$key' (user, password, database, endpoints, ssl-ca, ssl-cert, ssl-key, seal-key, session-idle, session-max, guess-window, guess-limit, guess-backoff, guess-backoff-max)" ;;
      esac
    done <"$file"
  fi
  SVC_USER=${TAVRIN_DB_USER:-$SVC_USER}
  SVC_PASSWORD=${TAVRIN_DB_PASSWORD:-$SVC_PASSWORD}
  SVC_DB=${TAVRIN_DB_NAME:-$SVC_DB}
  SVC_SEAL_KEY=${TAVRIN_SEAL_KEY:-$SVC_SEAL_KEY}
  [[ -n "$SVC_PASSWORD" ]] || die "no database password: give 'password' in $file (TAVRIN_DB_SETTINGS) or TAVRIN_DB_PASSWORD"
}

# The password of the replication account, made once, kept in the state.
repl_password() {
  local f="$STATE/replication.secret"
  if [[ ! -s "$f" ]]; then
    head -c 32 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 24 >"$f"
  fi
  cat "$f"
}

# A fresh data folder DIR for database N, owned by the deployment's account.
db_install() {
  local n=$1 dir=$2 log
  log="$STATE/logs/$(db_name "$n")-install.log"
  secure_state "$dir"
  # root and the administrator log in through the socket only.
  mariadb-install-db --no-defaults --user="$RUN_USER" --datadir="$dir" \
    --auth-root-authentication-method=socket --auth-root-socket-user="$DB_ADMIN" \
    --skip-test-db 2>&1 | service_write "$log" || {
    tail -n 20 "$log" >&2 2>/dev/null || true
    die "mariadb-install-db failed: see $log"
  }
}

db_start_one() {
  local n=$1 dir sock pidfile log port
  load_ports
  dir=$(db_dir "$n"); sock=$(db_sock "$n"); pidfile=$(db_pidfile "$n")
  log=$(db_log "$n"); port=$(db_port "$n")
  [[ -n "$port" ]] || die "$(db_name "$n") has no port: start the standby with ./tavrin up --standby"
  secure_state "$STATE/logs" "$(service_run_dir)"
  tls_setup
  if db_pid "$n" >/dev/null && db_ping "$n" >/dev/null 2>&1; then
    return 0
  fi
  [[ -d "$dir/mysql" ]] || db_install "$n" "$dir"
  local extra=()
  # Clients verify this certificate against the deployment's CA.
  tls_on && extra+=(--ssl-ca="$(tls_run_ca)" --ssl-cert="$(tls_run_dir)/mariadb$n.pem"
    --ssl-key="$(tls_run_dir)/mariadb$n.key")
  # Tests trade durability for speed; deployments and benchmarks keep it.
  [[ "${TAVRIN_FAST_DB:-0}" == 1 ]] && extra+=(--innodb-flush-log-at-trx-commit=2 --innodb-buffer-pool-size=64M)
  # A restore works on a database no server can reach.
  [[ "${DB_SOCKET_ONLY:-0}" == 1 ]] && extra+=(--skip-networking)
  if binlog_on; then
    # Binary logs replay the work since a backup (point-in-time recovery)
    # and feed the standby; kept for BINLOG_RETENTION_S.
    extra+=(--server-id="$n" --log-bin=mariadb-bin --binlog-format=ROW
      --binlog-expire-logs-seconds="$BINLOG_RETENTION_S")
    [[ "${TAVRIN_FAST_DB:-0}" == 1 ]] || extra+=(--sync-binlog=1)
  else
    extra+=(--skip-log-bin)
  fi
  if replicated; then
    # GTIDs, and a commit acknowledged only once the standby holds it
    # (AFTER_SYNC). Every database but the recorded primary is read-only, so
    # a standby or a stale primary never takes the servers' writes.
    # A standby (or an old primary about to rejoin) starts in the slave role:
    # its crash recovery then drops a commit it wrote but never got
    # acknowledged, which the new primary may lack. The primary's recovery
    # keeps such a commit, which its standby may already hold.
    local ro=1 role=SLAVE
    [[ "$n" == "$(db_primary)" ]] && { ro=0; role=MASTER; }
    extra+=(--relay-log=relay-bin --log-slave-updates=1 --gtid-strict-mode=1 --init-rpl-role="$role"
      --rpl-semi-sync-master-enabled=1 --rpl-semi-sync-slave-enabled="$ro"
      --rpl-semi-sync-master-wait-point=AFTER_SYNC
      --rpl-semi-sync-master-timeout="$SEMISYNC_TIMEOUT_MS" --read-only="$ro")
  fi
  rotate_log "$log"
  # UMASK: the error log and every file of the server private too.
  UMASK=0600 UMASK_DIR=0700 setsid mariadbd --no-defaults --user="$RUN_USER" --datadir="$dir" \
    --socket="$sock" --port="$port" --bind-address=127.0.0.1 \
    --pid-file="$pidfile" --log-error="$log" \
    --skip-name-resolve "${extra[@]}" </dev/null >/dev/null 2>&1 &
  # A loaded machine can take long over InnoDB's start; give up early only
  # when the server has already exited.
  local i
  for ((i = 0; i < 1800; i++)); do
    if db_ping "$n" >/dev/null 2>&1 && db_pid "$n" >/dev/null; then
      # With its start time, so that the file never vouches for another
      # process; a file of the deployment's account is left as it wrote it.
      ((${#AS_SERVICE[@]} > 0)) || write_pid "$pidfile" "$(read_pid "$pidfile")"
      return 0
    fi
    if ((i > 20)) && ! db_pid "$n" >/dev/null && ! pgrep -f -- "--datadir=$dir " >/dev/null; then
      break
    fi
    sleep 0.1
  done
  tail -n 20 "$log" >&2 2>/dev/null || true
  die "MariaDB did not start: see $log"
}

db_stop_one() {
  stop_owned "$(db_pidfile "$1")" "$(db_dir "$1")" 600
  # A database an older version started as root keeps its pid file in the
  # state folder itself.
  if [[ "$(service_run_dir)" != "$STATE" ]]; then
    stop_owned "$STATE/$(basename "$(db_pidfile "$1")")" "$(db_dir "$1")" 600
  fi
}

# db-start / db-stop: the database numbered, or all of them.
db_start() {
  load_ports
  if [[ -n "${1:-}" ]]; then db_start_one "$1"; return; fi
  local n
  for n in $(db_instances); do db_start_one "$n"; done
}

db_stop() {
  load_ports
  if [[ -n "${1:-}" ]]; then db_stop_one "$1"; return; fi
  local n
  for n in $(db_instances); do db_stop_one "$n"; done
}

# Accounts, database and schema on database N (the primary by default).
db_provision() {
  local n=${1:-$(db_primary)}
  load_service_account
  db_login "$n"
  local svc_local svc_tcp pw admin="" require="REQUIRE NONE"
  # The service and replication accounts log in over TLS only.
  tls_on && require="REQUIRE SSL"
  svc_local="$(sql_str "$SVC_USER")@'localhost'"
  svc_tcp="$(sql_str "$SVC_USER")@'127.0.0.1'"
  pw=$(sql_str "$SVC_PASSWORD")
  if [[ "$DB_ADMIN" != root ]]; then
    admin="CREATE USER IF NOT EXISTS $(sql_str "$DB_ADMIN")@'localhost' IDENTIFIED VIA unix_socket;
GRANT ALL PRIVILEGES ON *.* TO $(sql_str "$DB_ADMIN")@'localhost' WITH GRANT OPTION;"
  fi
  db_sql "$n" <<SQL || die "provisioning $(db_name "$n") failed"
$admin
ALTER USER 'root'@'localhost' IDENTIFIED VIA unix_socket;
CREATE DATABASE IF NOT EXISTS $(sql_id "$SVC_DB") CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
CREATE USER IF NOT EXISTS $svc_local IDENTIFIED BY $pw;
CREATE USER IF NOT EXISTS $svc_tcp IDENTIFIED BY $pw;
ALTER USER $svc_local IDENTIFIED BY $pw $require;
ALTER USER $svc_tcp IDENTIFIED BY $pw $require;
DROP USER IF EXISTS $(sql_str "$SVC_USER")@'%';
REVOKE ALL PRIVILEGES, GRANT OPTION FROM $svc_local, $svc_tcp;
GRANT SELECT, INSERT, UPDATE, DELETE, LOCK TABLES ON $(sql_id "$SVC_DB").* TO $svc_local, $svc_tcp;
SQL
  ADMIN_LOGIN=$DB_ADMIN
  # No root for other hosts, and no anonymous users (they would shadow the
  # service account for some hosts).
  db_sql "$n" -N -e "SELECT CONCAT('DROP USER ', QUOTE(User), '@', QUOTE(Host), ';') FROM mysql.user
                     WHERE User = '' OR (User = 'root' AND Host <> 'localhost')" | db_sql "$n"
  if replicated; then
    local rpw
    rpw=$(sql_str "$(repl_password)")
    db_sql "$n" <<SQL
CREATE USER IF NOT EXISTS 'tavrin_repl'@'127.0.0.1' IDENTIFIED BY $rpw;
ALTER USER 'tavrin_repl'@'127.0.0.1' IDENTIFIED BY $rpw $require;
GRANT REPLICATION SLAVE ON *.* TO 'tavrin_repl'@'127.0.0.1';
SQL
  fi
  db_sql "$n" "$SVC_DB" <"$ROOT/db/schema.sql"
  local movies
  movies=$(db_sql "$n" -N "$SVC_DB" -e "SELECT COUNT(*) FROM movie")
  if [[ "$movies" == 0 && -f "$ROOT/db/catalogue.sql" ]]; then
    db_sql "$n" "$SVC_DB" <"$ROOT/db/catalogue.sql"
  fi
}

# One field of SHOW SLAVE STATUS on database N.
slave_field() {
  db_sql "$1" -E -e "SHOW SLAVE STATUS" 2>/dev/null | sed -n "s/^ *$2: //p" | head -n 1
}

semisync_clients() {
  db_sql "$1" -N -e "SHOW GLOBAL STATUS LIKE 'Rpl_semi_sync_master_clients'" 2>/dev/null | cut -f2
}

# The primary waits for the standby again only from the first commit the
# standby acknowledges after catching up: make one (an unchanged password)
# and wait for it, so that what follows is acknowledged.
semisync_on() {
  local p=$1 i
  for ((i = 0; i < 50; i++)); do
    db_sql "$p" -e "ALTER USER 'tavrin_repl'@'127.0.0.1' IDENTIFIED BY $(sql_str "$(repl_password)")"
    [[ "$(db_sql "$p" -N -e "SHOW GLOBAL STATUS LIKE 'Rpl_semi_sync_master_status'" | cut -f2)" == ON ]] && return 0
    sleep 0.2
  done
  say "warning: $(db_name "$p") does not wait for its standby yet (semi-sync off); commits are asynchronous until it does"
}

# Database S replicates primary P from GTID position `pos` ("" for S's own
# binary log position). Returns 1 when S cannot follow P: it holds
# transactions P never received.
db_follow() {
  local s=$1 p=$2 pos=${3:-} i io sql err
  # Its own position: the later, per domain, of what it wrote and applied.
  local set_pos="SET GLOBAL gtid_slave_pos = @@gtid_current_pos;"
  [[ -n "$pos" ]] && set_pos="SET GLOBAL gtid_slave_pos = $(sql_str "$pos");"
  # The link to the primary is TLS, its certificate checked like the
  # servers check it.
  local ssl="MASTER_SSL = 0"
  tls_on && ssl="MASTER_SSL = 1, MASTER_SSL_CA = $(sql_str "$(tls_run_ca)"), MASTER_SSL_VERIFY_SERVER_CERT = 1"
  db_sql "$s" <<SQL || return 1
STOP SLAVE;
RESET SLAVE ALL;
$set_pos
CHANGE MASTER TO MASTER_HOST = '127.0.0.1', MASTER_PORT = $(db_port "$p"),
  MASTER_USER = 'tavrin_repl', MASTER_PASSWORD = $(sql_str "$(repl_password)"),
  MASTER_USE_GTID = slave_pos, MASTER_CONNECT_RETRY = 1, $ssl;
START SLAVE;
SQL
  # Caught up with what the primary held when it started, and acknowledging
  # the primary's commits; an error of its own ends the wait at once.
  local target
  target=$(db_sql "$p" -N -e 'SELECT @@gtid_binlog_pos')
  for ((i = 0; i < 600; i++)); do
    io=$(slave_field "$s" Slave_IO_Running)
    sql=$(slave_field "$s" Slave_SQL_Running)
    err=$(slave_field "$s" Last_IO_Errno)
    if [[ "$err" == 1236 || "$(slave_field "$s" Last_SQL_Errno)" != 0 ]]; then
      say "$(db_name "$s") cannot follow $(db_name "$p"): $(slave_field "$s" Last_IO_Error)$(slave_field "$s" Last_SQL_Error)"
      db_sql "$s" -e "STOP SLAVE" >/dev/null 2>&1 || true
      return 1
    fi
    if [[ "$io" == Yes && "$sql" == Yes && "$(semisync_clients "$p")" -ge 1 ]] &&
       [[ "$(db_sql "$s" -N -e "SELECT MASTER_GTID_WAIT($(sql_str "$target"), 0.1)")" == 0 ]]; then
      semisync_on "$p"
      return 0
    fi
    sleep 0.1
  done
  say "$(db_name "$s") did not catch up with $(db_name "$p") within a minute"
  return 1
}

# Database S becomes a standby of primary P from a fresh copy of P's data.
# Whatever S held before is kept aside, never deleted.
db_seed_standby() {
  local s=$1 p=$2 dir seed pos
  dir=$(db_dir "$s")
  db_stop_one "$s"
  if [[ -d "$dir" ]]; then
    mv "$dir" "$dir.old-$(date +%Y%m%d-%H%M%S)"
    say "kept the former data of $(db_name "$s") in $dir.old-*"
  fi
  db_start_one "$s"
  # Set-up of its own, outside its binary log: it must not look like
  # transactions of the primary's history.
  NOBINLOG=1 db_provision "$s"
  seed="$STATE/standby-seed.sql"
  db_login "$p"
  mariadb-dump --no-defaults -u"$ADMIN_LOGIN" --socket="$(db_sock "$p")" --single-transaction \
    --master-data=2 --gtid --triggers --routines --databases "$SVC_DB" >"$seed" \
    || die "copying $(db_name "$p") failed"
  pos=$(sed -n "s/^-- SET GLOBAL gtid_slave_pos='\(.*\)';$/\1/p" "$seed" | head -n 1)
  NOBINLOG=1 db_sql "$s" <"$seed" || die "loading the copy into $(db_name "$s") failed"
  rm -f "$seed"
  db_follow "$s" "$p" "$pos" || die "$(db_name "$s") does not replicate $(db_name "$p"): see $(db_log "$s")"
}

# up --standby: database 2 (or whichever is not the primary) replicates the
# primary semi-synchronously.
db_standby_up() {
  load_ports
  local p s
  p=$(db_primary)
  s=$(db_other "$p")
  if [[ -z "$DB2_PORT" ]]; then
    DB2_PORT=$(free_port)
    while [[ "$DB2_PORT" == "$DB_PORT" || "$DB2_PORT" == "$NAMING_PORT" ]]; do DB2_PORT=$(free_port); done
    save_ports
  fi
  if ! replicated; then
    touch "$STATE/replication"
    # The primary needs its binary log from now on.
    db_stop_one "$p"
    db_start_one "$p"
    db_provision "$p"
  fi
  if db_pid "$s" >/dev/null && [[ "$(slave_field "$s" Slave_SQL_Running)" == Yes ]]; then
    return 0
  fi
  # A standby from before, or an old primary, follows from its own position
  # when it can; else it starts from a copy.
  if [[ -d "$(db_dir "$s")/mysql" ]]; then
    db_start_one "$s"
    db_login "$s"
    if db_follow "$s" "$p"; then return 0; fi
  fi
  db_seed_standby "$s" "$p"
}

# The last switch of semi-sync that primary P's error log records: "OFF"
# (it went on committing without its standby after the time-out: commits
# acknowledged to customers that the standby may lack), "ON" (the standby
# had caught up again) or "" (none). With SINCE_START=1, only since its last
# start.
semisync_last_switch() {
  awk -v since="$2" '(since == 1 && / Starting MariaDB /) { s = "" }
                     /Semi-sync replication switched OFF/ { s = "OFF" }
                     /Semi-sync replication switched ON/ { s = "ON" }
                     END { print s }' "$(db_log "$1")"
}

# Whether database S holds transaction GTID (domain-server-sequence).
db_holds() {
  local s=$1 gtid=$2 pos entry
  [[ "$gtid" =~ ^([0-9]+)-[0-9]+-([0-9]+)$ ]] || return 1
  pos=$(db_sql "$s" -N -e 'SELECT @@gtid_current_pos') || return 1
  for entry in ${pos//,/ }; do
    [[ "${entry%%-*}" == "${BASH_REMATCH[1]}" && "${entry##*-}" -ge "${BASH_REMATCH[2]}" ]] && return 0
  done
  return 1
}

# Why standby S must not replace primary P without the operator's --force:
# printed, and true, when S was not replicating from P, or may lack commits P
# acknowledged. False (and silent) when S is fit to take over.
failover_refusal() {
  local p=$1 s=$2 pn sn io sql
  pn=$(db_name "$p"); sn=$(db_name "$s")
  if [[ "$(slave_field "$s" Master_Port)" != "$(db_port "$p")" ]]; then
    echo "$sn was not replicating from $pn, the primary (it is not its standby: ./tavrin db-rejoin makes it one)"
    return 0
  fi
  io=$(slave_field "$s" Slave_IO_Running)
  sql=$(slave_field "$s" Slave_SQL_Running)
  if [[ "$sql" != Yes || "$io" == No || -z "$io" ]]; then
    echo "$sn had stopped replicating from $pn (receiving: ${io:-No}, applying: ${sql:-No}$(slave_errors "$s"))"
    return 0
  fi
  if [[ -z "$(slave_field "$s" Gtid_IO_Pos)" ]]; then
    echo "$sn has received nothing from $pn"
    return 0
  fi
  if ! [[ -r "$(db_log "$p")" ]]; then
    echo "$pn's log $(db_log "$p") is missing: whether it committed without $sn is unknown"
    return 0
  fi
  if [[ "$(semisync_last_switch "$p" 1)" == OFF ]]; then
    echo "$pn committed without waiting for $sn (semi-sync switched off, see $(db_log "$p")) and $sn had not caught up since: acknowledged commits may be missing from it"
    return 0
  fi
  # Restarted after such a fall-back, a primary starts as if its standby had
  # caught up: only the standby holding its last transaction shows that.
  local last
  last=$(db_last_gtid "$p")
  if [[ "$(semisync_last_switch "$p" 0)" == OFF ]] && ! db_holds "$s" "$last"; then
    echo "$pn committed without waiting for $sn (semi-sync switched off) before its last start, and $sn lacks its last transaction (${last:-unknown}): acknowledged commits may be missing from it"
    return 0
  fi
  return 1
}

slave_errors() {
  local e
  e="$(slave_field "$1" Last_IO_Error)$(slave_field "$1" Last_SQL_Error)"
  [[ -n "$e" ]] && printf '; %s' "$e"
  return 0
}

# The last transaction stopped database N wrote to its binary log ("" when
# unknown): what a forced failover may lose.
db_last_gtid() {
  local dir last
  dir=$(db_dir "$1")
  last=$(tail -n 1 "$dir/mariadb-bin.index" 2>/dev/null) || return 0
  [[ -n "$last" ]] || return 0
  [[ "$last" == /* ]] || last="$dir/${last#./}"
  # A file begins with the list of what came before it (a fresh one holds
  # nothing else); its transactions follow.
  mariadb-binlog --no-defaults "$last" 2>/dev/null |
    grep -oE 'GTID [0-9]+-[0-9]+-[0-9]+|Gtid list \[[^]]*\]' | tail -n 1 |
    grep -oE '[0-9]+-[0-9]+-[0-9]+' | tail -n 1
}

db_gone() { ! db_pid "$1" >/dev/null; }

# db-failover: the standby takes over once the primary is gone. An operator's
# act: nothing promotes on its own, so a partition cannot make two primaries.
# It promotes only a standby that holds all the primary acknowledged, unless
# the operator accepts the loss (--force).
cmd_db_failover() {
  local force=0
  case "${1:-}" in
    --force) force=1 ;;
    "") ;;
    *) die "usage: ./tavrin db-failover [--force]" ;;
  esac
  load_ports
  replicated && [[ -n "$DB2_PORT" ]] || die "no standby: start one with ./tavrin up --standby"
  local p s why
  p=$(db_primary)
  s=$(db_other "$p")
  # A primary killed a moment ago may take that moment to be gone.
  poll 50 db_gone "$p" || true
  if db_pid "$p" >/dev/null || db_ping "$p" 2>/dev/null | grep -q alive; then
    die "$(db_name "$p"), the primary, still runs: stop it first (./tavrin db-stop $p) so that there is never more than one primary"
  fi
  db_pid "$s" >/dev/null || die "$(db_name "$s"), the standby, is not running"
  db_login "$s"
  if why=$(failover_refusal "$p" "$s"); then
    ((force)) || die "not promoting $(db_name "$s"): $why. Nothing was changed; ./tavrin db-failover --force promotes it all the same and loses what it lacks"
    say "warning: $why"
    say "warning: promoting all the same (--force); $(db_name "$p") last wrote $(db_last_gtid "$p" | sed 's/^$/(unknown)/'), $(db_name "$s") holds $(db_sql "$s" -N -e 'SELECT @@gtid_current_pos' | sed 's/^$/(nothing)/'): transactions between the two are lost"
  fi
  failover_apply "$s" "$force"
  # Table handles the replication thread left in the cache are closed, so
  # the primary starts with fresh ones.
  db_sql "$s" -e "STOP SLAVE; RESET SLAVE ALL; FLUSH LOCAL TABLES; SET GLOBAL read_only = 0" \
    || die "promoting $(db_name "$s") failed"
  echo "$s" >"$STATE/db-primary"
  say "$(db_name "$s") on 127.0.0.1:$(db_port "$s") is the primary now; once $(db_name "$p") can run again: ./tavrin db-rejoin"
}

# Everything standby S received is applied before it takes writes. Forced,
# a standby whose applier stopped is promoted as it is.
failover_apply() {
  local s=$1 force=$2 pos r
  db_sql "$s" -e "STOP SLAVE IO_THREAD" || die "cannot stop replication on $(db_name "$s")"
  pos=$(slave_field "$s" Gtid_IO_Pos)
  [[ -n "$pos" ]] || return 0
  if ((force)) && [[ "$(slave_field "$s" Slave_SQL_Running)" != Yes ]]; then return 0; fi
  r=$(db_sql "$s" -N -e "SELECT MASTER_GTID_WAIT($(sql_str "$pos"), 60)")
  [[ "$r" == 0 ]] && return 0
  if ((force)); then
    say "warning: $(db_name "$s") did not apply all it received ($pos)"
    return 0
  fi
  db_sql "$s" -e "START SLAVE IO_THREAD" >/dev/null 2>&1 || true
  die "$(db_name "$s") did not apply what it received ($pos): see $(db_log "$s"); nothing was promoted"
}

# db-rejoin: the old primary becomes a standby of the new one: from its own
# position when its history is a part of the primary's, else from a copy.
cmd_db_rejoin() {
  load_ports
  replicated && [[ -n "$DB2_PORT" ]] || die "no standby to rejoin: start one with ./tavrin up --standby"
  local p o
  p=$(db_primary)
  o=$(db_other "$p")
  db_pid "$p" >/dev/null || die "$(db_name "$p"), the primary, is not running"
  db_login "$p"
  # Started read-only, as every database but the primary is.
  db_stop_one "$o"
  db_start_one "$o"
  db_login "$o"
  if db_follow "$o" "$p"; then
    say "$(db_name "$o") replicates $(db_name "$p")"
    return 0
  fi
  say "$(db_name "$o") holds transactions $(db_name "$p") never received; they stay in its former data folder, and it starts again from a copy of $(db_name "$p")"
  db_seed_standby "$o" "$p"
  say "$(db_name "$o") replicates $(db_name "$p")"
}

