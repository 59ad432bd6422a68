# shellcheck shell=bash
# Sourced by ./tavrin: the deployment's certificate authority and its
# certificates, and the TLS mode of the deployment.

# The CA's key and certificate live in TAVRIN_TLS_CA_DIR (default
# $STATE/tls); the certificates it issues for this deployment in $STATE/tls:
#   ca.key, ca.pem      the CA (10 years); the key never leaves this folder
#   replicas.pem        key and certificate of the replicas and the Naming
#                       Services (1 year)
#   mariadb<N>.pem/.key certificate and key of database N (1 year)
#   hosts/<HOST>.pem    key and certificate issued by ./tavrin tls-issue
# Every certificate carries its hosts' IP addresses as subject alternative
# names and is issued for a server (serverAuth), and for the calls a replica
# makes itself (clientAuth: the Naming Service, which may ask for it).

TLS_CA_DAYS=3650
TLS_CERT_DAYS=365
TLS_WARN_DAYS=30
OMNI_SSL_LIB=/usr/lib/x86_64-linux-gnu/libomnisslTP4.so.2

tls_dir() { echo "$STATE/tls"; }
tls_ca_dir() { echo "${TAVRIN_TLS_CA_DIR:-$STATE/tls}"; }
tls_ca() { echo "$(tls_ca_dir)/ca.pem"; }

# The mode is recorded by `up` (on, or off with --no-tls); TLS unless it
# says off.
tls_on() { [[ "$(cat "$STATE/tls-mode" 2>/dev/null || echo on)" != off ]]; }

# What the programs read (OrbTls.h, DBSettings.h), for this script's
# children: the replicas, the client and the tests.
tls_export() {
  if tls_on; then
    export TAVRIN_TLS=on TAVRIN_TLS_CA
    TAVRIN_TLS_CA="$(tls_run_ca)"
  else
    export TAVRIN_TLS=off
    unset TAVRIN_TLS_CA
  fi
}

# The CA, made on first use: a 10-year self-signed certificate whose key
# only this account reads.
tls_make_ca() {
  local dir
  dir=$(tls_ca_dir)
  [[ -s "$dir/ca.pem" && -s "$dir/ca.key" ]] && return 0
  mkdir -p "$dir"
  chmod 700 "$dir"
  (umask 077 && openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$TLS_CA_DAYS" \
    -subj "/O=TAVRIN/CN=TAVRIN deployment CA $(hostname) $(date +%Y%m%d%H%M%S)" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem") >/dev/null 2>&1 || die "could not create the CA in $dir"
  chmod 600 "$dir/ca.key"
  say "created the deployment's certificate authority: $dir/ca.pem"
}

# tls_issue KEY CRT CN SAN: a key and a certificate signed by the CA, for a
# server, valid TLS_CERT_DAYS. SAN: "IP:10.0.0.5,DNS:db1".
tls_issue() {
  local key=$1 crt=$2 cn=$3 san=$4 dir csr ext
  dir=$(tls_ca_dir)
  csr=$(mktemp "$STATE/tls-csr.XXXXXX")
  ext=$(mktemp "$STATE/tls-ext.XXXXXX")
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth,clientAuth" "subjectAltName=$san" >"$ext"
  local rc=0
  (umask 077 && openssl req -newkey rsa:2048 -nodes -sha256 -subj "/O=TAVRIN/CN=$cn" \
    -keyout "$key" -out "$csr" && openssl x509 -req -in "$csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days "$TLS_CERT_DAYS" -sha256 -extfile "$ext" -out "$crt") >/dev/null 2>&1 || rc=1
  rm -f "$csr" "$ext"
  ((rc == 0)) || die "could not issue a certificate for $cn"
}

# Not within TLS_WARN_DAYS of its end, and signed by the current CA: `up`
# renews what status warns about.
tls_fresh() {
  [[ -s "$1" ]] && openssl x509 -checkend $((TLS_WARN_DAYS * 86400)) -noout -in "$1" >/dev/null 2>&1 &&
    openssl verify -CAfile "$(tls_ca)" "$1" >/dev/null 2>&1
}

# The SAN list of this machine's services: loopback, and TAVRIN_HOST.
tls_local_san() {
  local san="IP:127.0.0.1,DNS:localhost"
  [[ "$HOST" != 127.0.0.1 && "$HOST" =~ ^[0-9.]+$ ]] && san+=",IP:$HOST"
  echo "$san"
}

# The replicas' certificate (also the Naming Services'), one PEM with key.
tls_replicas_pem() {
  local dir pem
  dir=$(tls_dir); pem="$dir/replicas.pem"
  if ! tls_fresh "$pem"; then
    tls_issue "$dir/replicas.key" "$dir/replicas.crt" "TAVRIN replicas" "$(tls_local_san)"
    (umask 077 && cat "$dir/replicas.key" "$dir/replicas.crt" >"$pem")
    rm -f "$dir/replicas.key" "$dir/replicas.crt"
  fi
  echo "$pem"
}

# Database N's certificate and key.
tls_db_files() {
  local n=$1 dir
  dir=$(tls_dir)
  tls_fresh "$dir/mariadb$n.pem" ||
    tls_issue "$dir/mariadb$n.key" "$dir/mariadb$n.pem" "TAVRIN database $n" "$(tls_local_san)"
}

# The folder of the files the deployment's programs read: $STATE/tls, or,
# when they run as the deployment's account, that account's own copies in
# $STATE/secrets/tls (the CA's key never leaves the operator's folder).
tls_run_dir() {
  if ((${#AS_SERVICE[@]} > 0)); then echo "$STATE/secrets/tls"; else tls_dir; fi
}

tls_run_ca() {
  if ((${#AS_SERVICE[@]} > 0)); then echo "$STATE/secrets/tls/ca.pem"; else tls_ca; fi
}

# Run as root: the deployment's account gets its copies, through the one
# helper that sets the owner and mode of what the services read.
tls_hand_over() {
  ((${#AS_SERVICE[@]} > 0)) || return 0
  local d="$STATE/secrets/tls" f
  secure_state "$STATE/secrets" "$d"
  give_to_service "$(tls_ca)" "$d/ca.pem" 0400
  for f in replicas.pem mariadb1.pem mariadb1.key mariadb2.pem mariadb2.key; do
    give_to_service "$(tls_dir)/$f" "$d/$f" 0400
  done
}

# Everything `up` needs in TLS mode.
tls_setup() {
  tls_on || return 0
  command -v openssl >/dev/null || die "openssl is missing: ./tavrin setup"
  mkdir -p "$(tls_dir)"
  tls_make_ca
  tls_replicas_pem >/dev/null
  local n
  for n in 1 2; do tls_db_files "$n"; done
  tls_hand_over
  tls_export
}

# tls-issue HOST [IP...]: a key and certificate for another host's replicas,
# Naming Service or database, signed by the deployment's CA.
cmd_tls_issue() {
  [[ $# -ge 1 && "$1" =~ ^[A-Za-z0-9.-]+$ ]] || die "usage: ./tavrin tls-issue HOST [IP...]"
  local host=$1 san="" ip out
  shift
  for ip in "$@"; do
    [[ "$ip" =~ ^[0-9.]+$|^[0-9a-fA-F:]+$ ]] || die "tls-issue: not an IP address: $ip"
    san+="${san:+,}IP:$ip"
  done
  [[ "$host" =~ ^[0-9.]+$ ]] && san+="${san:+,}IP:$host" || san+="${san:+,}DNS:$host"
  secure_state
  tls_make_ca
  out="$(tls_dir)/hosts"
  mkdir -p "$out"
  tls_issue "$out/$host.key" "$out/$host.crt" "$host" "$san"
  (umask 077 && cat "$out/$host.key" "$out/$host.crt" >"$out/$host.pem")
  say "issued for $host ($san), valid $TLS_CERT_DAYS days:"
  say "  $out/$host.pem  key and certificate in one file (replicas, Naming Service)"
  say "  $out/$host.key, $out/$host.crt  the same, apart (MariaDB: ssl-key, ssl-cert)"
  say "  $(tls_ca)  the CA's certificate, for every host and console"
}

# For status: the mode, and a warning for each certificate that expires
# within TLS_WARN_DAYS.
tls_status() {
  if ! tls_on; then
    say "TLS          off (--no-tls): IIOP and the database links are plain"
    return 0
  fi
  say "TLS          on: IIOP and the database links verified against $(tls_ca)"
  local f end
  for f in "$(tls_ca)" "$(tls_dir)"/replicas.pem "$(tls_dir)"/mariadb*.pem "$(tls_dir)"/hosts/*.crt; do
    [[ -s "$f" ]] || continue
    if ! openssl x509 -checkend $((TLS_WARN_DAYS * 86400)) -noout -in "$f" >/dev/null 2>&1; then
      end=$(openssl x509 -enddate -noout -in "$f" 2>/dev/null | cut -d= -f2)
      say "warning: the certificate $f expires on $end; renew it (see docs/deployment.md)"
    fi
  done
}
