# shellcheck shell=bash
# Sourced by ./tavrin: the Naming Services.

# --- omniNames -------------------------------------------------------------------

# Directory 1 is the one every deployment has; `up --naming K` runs K of them,
# each with its own port and data folder. They share no bindings: every
# replica binds into each, and programs reach whichever answers through one
# reference that lists them all.

naming_dir() { if [[ $1 == 1 ]]; then echo "$STATE/naming"; else echo "$STATE/naming$1"; fi; }
naming_pidfile() { if [[ $1 == 1 ]]; then echo "$STATE/naming.pid"; else echo "$STATE/naming$1.pid"; fi; }
naming_log() { if [[ $1 == 1 ]]; then echo "$STATE/logs/omniNames"; else echo "$STATE/logs/omniNames$1"; fi; }
naming_label() { if [[ $1 == 1 ]]; then echo omniNames; else echo "omniNames$1"; fi; }
naming_port() {
  if [[ $1 == 1 ]]; then echo "$NAMING_PORT"; return; fi
  local v="NAMING_PORT_$1"
  echo "${!v:-}"
}

# The address of directory J in a reference: ssliop:127.0.0.1:P with TLS,
# :127.0.0.1:P without.
naming_addr() {
  if tls_on; then echo "ssliop:127.0.0.1:$1"; else echo ":127.0.0.1:$1"; fi
}

# NAMING_REF: "NameService=corbaname:ssliop:127.0.0.1:P1,ssliop:127.0.0.1:P2,..."
# (":127.0.0.1:P1,..." without TLS).
naming_ref() {
  local j list=""
  for ((j = 1; j <= ${NAMING_COUNT:-1}; j++)); do
    list+="${list:+,}$(naming_addr "$(naming_port "$j")")"
  done
  NAMING_REF="NameService=corbaname:${list:-$(naming_addr "$NAMING_PORT")}"
}

# The ORB's TLS transport for omniNames and nameclt, which do not link it:
# loaded from the environment, with the deployment's files.
naming_tls() {
  if tls_on; then
    NAMING_PRELOAD=(env LD_PRELOAD="$OMNI_SSL_LIB")
    NAMING_TLS_ARGS=(-ORBsslCAFile "$(tls_ca)" -ORBclientTransportRule "* ssl")
  else
    NAMING_PRELOAD=()
    NAMING_TLS_ARGS=()
  fi
}

# Bounded, so that a frozen directory cannot hang status or start-up.
naming_list() {
  naming_tls
  "${NAMING_PRELOAD[@]}" nameclt -ORBclientCallTimeOutPeriod 3000 -ORBclientConnectTimeOutPeriod 2000 \
    "${NAMING_TLS_ARGS[@]}" -ORBInitRef "NameService=corbaname:$(naming_addr "$(naming_port "${1:-1}")")" list
}

naming_start_one() {
  local j=$1 dir pidfile log port
  load_ports
  port=$(naming_port "$j")
  if [[ -z "$port" ]]; then
    port=$(free_port)
    printf -v "NAMING_PORT_$j" '%s' "$port"
    save_ports
  fi
  dir=$(naming_dir "$j"); pidfile=$(naming_pidfile "$j"); log=$(naming_log "$j")
  secure_state "$dir" "$STATE/logs"
  tls_setup
  if owned_pid "$pidfile" "$dir" >/dev/null && naming_list "$j" >/dev/null 2>&1; then
    return 0
  fi
  local start=(-start "$port")
  # Bindings persist in the data folder; -start only for a fresh one.
  compgen -G "$dir/omninames*" >/dev/null && start=()
  rotate_log "$log.err"
  # With TLS it listens on a TLS endpoint only, with the replicas'
  # certificate; its callers need no key pair.
  local endpoint="giop:tcp:127.0.0.1:$port" tls=()
  naming_tls
  if tls_on; then
    endpoint="giop:ssl:127.0.0.1:$port"
    tls=(-ORBsslCAFile "$(tls_run_ca)" -ORBsslKeyFile "$(tls_run_dir)/replicas.pem"
      -ORBsslKeyPassword "" -ORBsslVerifyMode none)
  fi
  # Working in its data folder: that tells it from another deployment's.
  (cd "$dir" && exec "${AS_SERVICE[@]}" setsid sh -c 'exec "$@" >>"$0" 2>&1' "$log.log" \
    "${NAMING_PRELOAD[@]}" omniNames "${start[@]}" -datadir "$dir" -nohostname \
    -errlog "$log.err" -ORBendPoint "$endpoint" "${tls[@]}" </dev/null) &
  write_pid "$pidfile" $!
  if ! poll 1200 naming_list "$j"; then
    tail -n 20 "$log.err" >&2 2>/dev/null || true
    die "$(naming_label "$j") did not start: see $log.err"
  fi
}

naming_stop_one() { stop_owned "$(naming_pidfile "$1")" "$(naming_dir "$1")" 100; }

# naming-start / naming-stop: directory K, or all of them. Starting a
# directory beyond the deployment's count adds it.
naming_start() {
  load_ports
  if [[ -n "${1:-}" ]]; then
    [[ "$1" =~ ^[1-9]$ ]] || die "directories are numbered 1 to 9"
    if (("$1" > NAMING_COUNT)); then NAMING_COUNT=$1; save_ports; fi
    naming_start_one "$1"
    return
  fi
  local j
  for ((j = 1; j <= NAMING_COUNT; j++)); do naming_start_one "$j"; done
}

naming_stop() {
  load_ports
  if [[ -n "${1:-}" ]]; then naming_stop_one "$1"; return; fi
  local j
  for ((j = 1; j <= 9; j++)); do naming_stop_one "$j"; done
}

naming_bound() { naming_list "$2" 2>/dev/null | grep -qx "$1"; }

