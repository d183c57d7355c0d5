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
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "install them as root: apt-get install --no-install-recommends ${missing[*]}" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
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
