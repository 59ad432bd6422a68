# shellcheck shell=bash
# Sourced by ./tavrin: the test suite and the benchmarks.

# Processes left behind by a test run: those working in its folder (replicas,
# and the databases of scenarios that make their own).
kill_leftovers() {
  local p cwd
  for p in /proc/[0-9]*; do
    cwd=$(readlink "$p/cwd" 2>/dev/null) || continue
    [[ "$cwd" == "$1"/* ]] && kill -KILL "${p#/proc/}" 2>/dev/null || true
  done
}

cmd_test() {
  cmd_build
  private_deployment
  local rc=0
  ctest --test-dir "$BUILD" --output-on-failure "$@" || rc=$?
  return "$rc"
}

# A private MariaDB and omniNames on free ports in a temporary folder, with
# the environment the test programs read; everything is stopped and removed
# when the script exits. Used by test and chaos.
private_deployment() {
  # Global: the exit trap runs after this function's locals are gone.
  TEST_TMP=$(mktemp -d /tmp/tavrin-test.XXXXXX)
  export TAVRIN_STATE_DIR="$TEST_TMP"
  STATE="$TEST_TMP"
  export TAVRIN_FAST_DB=1
  # One settings file (password, sealing key) for the run: the replicas the
  # tests start and the scenarios' own databases read it.
  unset TAVRIN_DB_SETTINGS TAVRIN_DB_PASSWORD TAVRIN_SEAL_KEY
  deployment_settings
  # The suite runs everything as the account that runs it, root included.
  export TAVRIN_SERVICE_USER
  TAVRIN_SERVICE_USER=$(id -un)
  RUN_USER=$TAVRIN_SERVICE_USER
  AS_SERVICE=()
  unset TAVRIN_DB2_PORT
  # Every test runs as users deploy: TLS, with one CA for the run that the
  # scenarios' own databases share. TAVRIN_TLS=off runs the suite plain.
  export TAVRIN_TLS_CA_DIR="$TEST_TMP/tls"
  local mode=()
  [[ "${TAVRIN_TLS:-on}" == off ]] && mode=(--no-tls)
  # Stop what this run started, also when tests fail or the run is interrupted.
  trap 'cmd_down >/dev/null 2>&1 || true; kill_leftovers "$TEST_TMP"; rm -rf "$TEST_TMP"' EXIT
  # A port found free can be taken before the server binds it (another run
  # on the machine): then start again on other ports.
  local attempt
  for attempt in 1 2 3; do
    DB_PORT=$(free_port)
    NAMING_PORT=$(free_port)
    while [[ "$NAMING_PORT" == "$DB_PORT" ]]; do NAMING_PORT=$(free_port); done
    export TAVRIN_DB_PORT="$DB_PORT" TAVRIN_NAMING_PORT="$NAMING_PORT"
    save_ports
    # A process of its own, so that its errors stop it (errexit does not
    # apply inside an if condition).
    if "$ROOT/tavrin" up --accounts 0 --orders 0 "${mode[@]}"; then break; fi
    cmd_down >/dev/null 2>&1 || true
    [[ $attempt -lt 3 ]] || die "the private deployment did not start"
    say "starting again on other ports"
  done
  load_ports  # the tests reach the database through MYSQL_TCP_PORT, TLS through TAVRIN_TLS*
  if tls_on; then export TAVRIN_TLS_KEY="$STATE/tls/replicas.pem"; fi
  export TAVRIN_ROOT="$ROOT"
}

cmd_bench() {
  [[ -x "$ROOT/bench/run" ]] || die "no benchmarks: bench/run is missing"
  exec "$ROOT/bench/run" "$@"
}
