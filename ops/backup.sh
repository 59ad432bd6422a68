# shellcheck shell=bash
# Sourced by ./tavrin: backups of the primary database, restore and
# point-in-time recovery, and the deployment's secrets saved apart.

# --- backup ------------------------------------------------------------------------

cmd_backup() {
  local keys=0
  if [[ "${1:-}" == --keys ]]; then keys=1; shift; fi
  [[ $# -eq 1 && -n "$1" && "$1" != -* ]] || die "usage: ./tavrin backup [--keys] DIR"
  load_ports
  if ((keys)); then keys_backup "$1"; return; fi
  local p
  p=$(db_primary)
  db_ping "$p" >/dev/null 2>&1 \
    || die "$(db_name "$p"), the primary, is not running: start it (./tavrin up) to back it up"
  db_login "$p"
  load_service_account
  "$ROOT/ops/tavrin-backup" --socket "$(db_sock "$p")" --user "$ADMIN_LOGIN" \
    --database "$SVC_DB" "$1"
}

# The deployment's secrets, one "file-name source" a line: what
# `backup --keys` saves. Secrets the deployment gains join this list.
# The service account's settings are written out (db_conf_text) rather than
# listed: they may come from the environment as well as from a file.
deployment_secrets() {
  local name f
  for name in replication.secret; do
    f="$STATE/$name"
    if [[ -s "$f" ]]; then echo "$name $f"; fi
  done
  # The deployment CA: without its key no certificate can be renewed.
  for name in ca.key ca.pem; do
    f="$(tls_ca_dir)/$name"
    if [[ -s "$f" ]]; then echo "tls-$name $f"; fi
  done
}

# The service account as the servers read it (TAVRIN_DB_SETTINGS format).
db_conf_text() {
  load_service_account
  printf 'user = %s\npassword = %s\ndatabase = %s\n' "$SVC_USER" "$SVC_PASSWORD" "$SVC_DB"
  # The key that opens the sealed card numbers travels with the password,
  # apart from the database backups that hold what it seals.
  [[ -z "$SVC_SEAL_KEY" ]] || printf 'seal-key = %s\n' "$SVC_SEAL_KEY"
}

# backup --keys DIR: the secrets, apart from any database backup, 0600 in a
# new 0700 folder.
keys_backup() {
  local dir=$1 name src saved=()
  [[ ! -e "$dir" ]] || die "$dir exists: the keys go into a new folder"
  mkdir -p -- "$(dirname -- "$dir")"
  mkdir -m 0700 -- "$dir" || die "cannot create $dir"
  (umask 077 && db_conf_text >"$dir/db.conf")
  saved+=("db.conf (the service account's settings, for TAVRIN_DB_SETTINGS)")
  while read -r name src; do
    [[ -n "$name" ]] || continue
    install -m 0600 -- "$src" "$dir/$name" || die "cannot copy $src"
    saved+=("$name")
  done < <(deployment_secrets)
  (cd "$dir" && sha256sum -- * >SHA256SUMS && chmod 0600 -- *)
  sync -- "$dir"/* "$dir"
  say "saved the deployment's secrets in $dir (keep it apart from the database backups):"
  for name in "${saved[@]}"; do say "  $name"; done
}

# --- restore -----------------------------------------------------------------------

# One value of a backup's backup.info.
backup_value() { sed -n "s/^$2 = //p" "$1/backup.info" | head -n 1; }

# The backup in DIR is complete and unchanged.
backup_check() {
  local dir=$1
  [[ -f "$dir/backup.info" && -f "$dir/SHA256SUMS" && -f "$dir/database.sql" ]] \
    || die "$dir holds no complete backup (made by ./tavrin backup)"
  (cd "$dir" && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1) \
    || die "$dir is damaged: a file does not match its checksum"
}

# The sequence number of domain D in a GTID list ("0-1-5,1-2-7"), 0 if none.
gtid_seq() {
  local list=$1 d=$2 g best=0 s
  for g in ${list//,/ }; do
    [[ "${g%%-*}" == "$d" ]] || continue
    s=${g##*-}
    ((s > best)) && best=$s
  done
  echo "$best"
}

# The binary logs in folder DIR, in order.
binlogs_in() { find "$1" -maxdepth 1 -name 'mariadb-bin.[0-9]*' | sort; }

# The logs in DIR reach back to GTID position POS: for every domain, the
# first log begins at or before the backup's place in it.
binlogs_cover() {
  local dir=$1 pos=$2 first list d
  first=$(binlogs_in "$dir" | head -n 1)
  [[ -n "$first" ]] || return 1
  list=$(mariadb-binlog --no-defaults "$first" 2>/dev/null | sed -n 's/^.*Gtid list \[\(.*\)\]$/\1/p' | head -n 1)
  for d in $(tr ',' '\n' <<<"$list" | cut -d- -f1 | sort -u); do
    (($(gtid_seq "$list" "$d") <= $(gtid_seq "$pos" "$d"))) || return 1
  done
}

restore_args() {
  RESTORE_DIR="" RESTORE_TO=""
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --to) RESTORE_TO=${2:-}; shift 2 || die "--to needs a time: 'YYYY-MM-DD HH:MM:SS'" ;;
      -*) die "restore: unknown option $1" ;;
      *) [[ -z "$RESTORE_DIR" ]] || die "restore: one backup folder only"; RESTORE_DIR=$1; shift ;;
    esac
  done
  [[ -n "$RESTORE_DIR" ]] || die "usage: ./tavrin restore DIR [--to 'YYYY-MM-DD HH:MM:SS']"
  if [[ -n "$RESTORE_TO" ]]; then
    [[ "$RESTORE_TO" =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}$ ]] &&
      date -d "$RESTORE_TO" >/dev/null 2>&1 \
      || die "--to: not a time of the form 'YYYY-MM-DD HH:MM:SS': $RESTORE_TO"
  fi
}

# restore DIR [--to TIME]: the primary's data from the backup, then (with
# --to) the work its binary logs hold from the backup's position up to TIME.
# The former data folder is kept aside, never deleted.
cmd_restore() {
  restore_args "$@"
  load_ports
  backup_check "$RESTORE_DIR"
  local p dir pos when
  p=$(db_primary)
  dir=$(db_dir "$p")
  if pid_alive "$(read_pid "$(db_pidfile "$p")")" || db_ping "$p" >/dev/null 2>&1 ||
     pgrep -f -- "--datadir=$dir " >/dev/null; then
    die "$(db_name "$p"), the primary, is running: a restore never touches a running database; stop the deployment first (./tavrin down)"
  fi
  pos=$(backup_value "$RESTORE_DIR" gtid_position)
  when=$(backup_value "$RESTORE_DIR" time)
  if [[ -n "$RESTORE_TO" ]]; then
    (($(date -d "$RESTORE_TO" +%s) >= $(date -d "$when" +%s))) \
      || die "--to $RESTORE_TO is before the backup was taken ($when)"
    binlogs_cover "$dir" "$pos" \
      || die "the binary logs in $dir do not reach back to the backup's position ($pos): restore without --to, or from a later backup"
  fi
  secure_state
  mkdir -p "$STATE/logs"
  local aside=""
  if [[ -d "$dir" ]]; then
    aside="$dir.old-$(date +%Y%m%d-%H%M%S)"
    mv "$dir" "$aside"
    say "kept the former data of $(db_name "$p") in $aside"
  fi
  if ! restore_into "$p" "$pos" "$aside"; then
    restore_undo "$p" "$aside"
    die "the restore failed; $(db_name "$p") holds its former data again"
  fi
  db_stop_one "$p"
  say "restored $(db_name "$p") from $RESTORE_DIR (taken $when, position ${pos:-(empty)})"
  replicated && [[ -n "$DB2_PORT" ]] && restore_standby "$p"
  say "start the deployment with ./tavrin up$(replicated && echo ' --standby')"
}

# The fresh data of database P: accounts, the backup, its GTID position, and
# the logs of `aside` up to RESTORE_TO. Socket only: no server reaches it
# before the restore is complete.
restore_into() {
  local p=$1 pos=$2 aside=$3
  DB_SOCKET_ONLY=1 db_start_one "$p"
  NOBINLOG=1 db_provision "$p"
  NOBINLOG=1 db_sql "$p" <"$RESTORE_DIR/database.sql" || return 1
  # The restored database goes on from the backup's place in the history,
  # so that the replayed transactions keep their GTIDs.
  if binlog_on; then
    db_sql "$p" -e "RESET MASTER; SET GLOBAL gtid_binlog_state = $(sql_str "$pos")" || return 1
  fi
  if [[ -n "$RESTORE_TO" ]]; then
    local logs
    mapfile -t logs < <(binlogs_in "$aside")
    say "replaying ${#logs[@]} binary log(s) from $pos up to $RESTORE_TO"
    local err="$STATE/logs/restore-binlog.err"
    mariadb-binlog --no-defaults --start-position="$pos" --stop-datetime="$RESTORE_TO" \
      "${logs[@]}" 2>"$err" | db_sql "$p" || { cat "$err" >&2; return 1; }
    grep -q 'Did not reach stop datetime' "$err" &&
      say "the logs end before $RESTORE_TO: everything they hold was replayed"
    say "recovered up to $RESTORE_TO: now at position $(db_sql "$p" -N -e 'SELECT @@gtid_binlog_pos')"
  fi
}

# A failed restore is set aside and the former data put back.
restore_undo() {
  local p=$1 aside=$2 dir
  dir=$(db_dir "$p")
  db_stop_one "$p"
  if [[ -d "$dir" ]]; then mv "$dir" "$dir.failed-$(date +%Y%m%d-%H%M%S)"; fi
  if [[ -n "$aside" ]]; then mv "$aside" "$dir"; fi
}

# The standby starts again from a copy of the restored primary: its former
# data (the history before the restore) is kept aside.
restore_standby() {
  local p=$1 s
  s=$(db_other "$p")
  [[ -d "$(db_dir "$s")" ]] || return 0
  say "seeding $(db_name "$s") again from the restored $(db_name "$p")"
  db_start_one "$p"
  db_seed_standby "$s" "$p"
  db_stop_one "$s"
  db_stop_one "$p"
}
