# Sourced by the scripts in this folder: installs the Debian packages that
# the cross-build, Wine and the tests need, when any is missing, and
# configures a build folder.

ovik_packages=(
  mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth cmake make googletest locales fonts-ipafont-gothic x11-apps
  imagemagick fonts-wine
  libarchive-tools osslsigncode openssl ca-certificates 7zip python3-pycdlib python3-pefile
  softhsm2 opensc libengine-pkcs11-openssl
)

# ovik_install_deps [PACKAGE...]: the packages named, or else ovik_packages.
ovik_install_deps() {
  local missing=()
  local package
  local wanted=("$@")
  [ "${#wanted[@]}" -gt 0 ] || wanted=("${ovik_packages[@]}")
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ "${#missing[@]}" -eq 0 ] && { ovik_recent_osslsigncode "${wanted[@]}"; return; }
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "install them as root: apt-get install --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  ovik_recent_osslsigncode "${wanted[@]}"
}

# ovik_recent_osslsigncode PACKAGE...: when osslsigncode is among them and
# older than 2.9, the one from the system's backports. Debian 12's own 2.5
# signs through a token, but says only "failed" for a wrong PIN or a key
# that is not there, and its verify output gives no time stamp's time.
# The backports suite comes from the mirror the system already uses, for
# this one install only.
ovik_recent_osslsigncode() {
  local have mirror codename
  [[ " $* " == *" osslsigncode "* ]] || return 0
  have="$(dpkg-query -W -f='${Version}' osslsigncode 2>/dev/null)" || return 0
  ! dpkg --compare-versions "$have" ge 2.9 || return 0
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  mirror="$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)"
  [ -n "$mirror" ] || mirror="$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\).*/\2/p' /etc/apt/sources.list 2>/dev/null | head -n 1)"
  if [ "$(id -u)" -ne 0 ] || [ -z "$codename" ] || [ -z "$mirror" ]; then
    echo "note: osslsigncode $have names no cause when signing through a token fails; 2.9 or later does (on Debian 12 from bookworm-backports)" >&2
    return 0
  fi
  echo "installing: osslsigncode from $codename-backports (this system has $have)"
  local work
  work="$(mktemp -d)"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  echo "deb ${keyring:+[signed-by=$keyring] }$mirror $codename-backports main" >"$work/backports.list"
  [ -f "$keyring" ] || sed -i 's/\[signed-by=[^]]*\] //' "$work/backports.list"
  local only_backports=(-o Dir::Etc::SourceList="$work/backports.list" -o Dir::Etc::SourceParts="$work"
    -o APT::Get::List-Cleanup=0)
  apt-get update -qq "${only_backports[@]}" &&
    apt-get install -y -qq --no-install-recommends "${only_backports[@]}" -t "$codename-backports" \
      osslsigncode >/dev/null
  local status=$?
  rm -rf "$work"
  return "$status"
}

# ovik_configure_build ROOT BUILD: configures BUILD unless it is already;
# build/mingw with its preset, another folder as a release build without
# the test programs.
ovik_configure_build() {
  local root="$1" build="$2"
  [ ! -f "$build/CMakeCache.txt" ] || return 0
  if [ "$build" = "$root/build/mingw" ]; then
    (cd "$root" && cmake --preset mingw >/dev/null)
  else
    cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DOVIK_BUILD_TESTS=OFF >/dev/null
  fi
}
