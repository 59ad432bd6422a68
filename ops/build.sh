# shellcheck shell=bash
# Sourced by ./tavrin: installing the packages, building and packaging.

# --- setup and build ------------------------------------------------------------

cmd_setup() {
  local missing=()
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  service_account
  [[ ${#missing[@]} -eq 0 ]] && return 0
  local sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  say "Installing: ${missing[*]}"
  (
    umask 022
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  )
}

cmd_build() {
  cmd_setup
  local type="${TAVRIN_BUILD_TYPE:-RelWithDebInfo}"
  # Build products are for everyone to read and run, packages included.
  (
    umask 022
    # shellcheck disable=SC2086
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE="$type" ${TAVRIN_CMAKE_ARGS:-} >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
  )
}

cmd_package() {
  cmd_build
  (
    umask 022
    cd "$BUILD"
    rm -f tavrin_*.deb
    cpack -G DEB >/dev/null || die "cpack failed: run cpack -G DEB in $BUILD to see why"
  )
  local deb
  deb=$(ls "$BUILD"/tavrin_*.deb 2>/dev/null | head -n 1)
  [[ -n "$deb" ]] || die "cpack made no package"
  say "$deb"
}

