# Sourced by the scripts in this folder: installs the Debian packages that
# the cross-build, Wine and the tests need, when any is missing, and
# configures a build folder.

ovik_packages=(
  mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth cmake make googletest locales fonts-ipafont-gothic x11-apps
  imagemagick fonts-wine
  libarchive-tools osslsigncode openssl ca-certificates 7zip python3-pycdlib python3-pefile jq
  softhsm2 opensc libengine-pkcs11-openssl git python3 fontconfig procps
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
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get update -qq || ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "installing ${missing[*]} failed (apt's messages above say why)." >&2
    echo "check the package sources (/etc/apt/sources.list, /etc/apt/sources.list.d/) and the network, then run: apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  ovik_recent_osslsigncode "${wanted[@]}"
}

# ovik_apt_mirror CODENAME: the URI of the first enabled "deb" source of the
# suite CODENAME itself (the main archive, which carries CODENAME-backports
# too), from /etc/apt/sources.list and /etc/apt/sources.list.d/ (*.list, one
# line a source, and *.sources, deb822 stanzas); nothing when there is none.
# OVIK_APT_SOURCES_LIST and OVIK_APT_SOURCE_PARTS stand for those two paths.
ovik_apt_mirror() {
  local codename="$1" file files=()
  for file in "${OVIK_APT_SOURCES_LIST:-/etc/apt/sources.list}" \
    "${OVIK_APT_SOURCE_PARTS:-/etc/apt/sources.list.d}"/*.list \
    "${OVIK_APT_SOURCE_PARTS:-/etc/apt/sources.list.d}"/*.sources; do
    [ ! -f "$file" ] || [ ! -r "$file" ] || files+=("$file")
  done
  [ "${#files[@]}" -gt 0 ] || return 0
  awk -v codename="$codename" '
    function has(list, word,   words, n, i) {
      n = split(list, words, /[ \t]+/)
      for (i = 1; i <= n; i++) if (words[i] == word) return 1
      return 0
    }
    function take(uri) { if (!found && uri != "" && uri !~ /^cdrom:/) { print uri; found = 1 } }
    function stanza_ends() {
      if (has(types, "deb") && has(suites, codename) && tolower(enabled) != "no") take(uri)
      types = suites = uri = enabled = ""
    }
    FNR == 1 { stanza_ends() }
    FILENAME ~ /\.sources$/ {
      if ($0 ~ /^[ \t]*$/) { stanza_ends(); next }
      if ($0 ~ /^#/ || !match($0, /^[A-Za-z-]+:/)) next
      key = tolower(substr($0, 1, RLENGTH - 1))
      value = substr($0, RLENGTH + 1)
      gsub(/^[ \t]+|[ \t]+$/, "", value)
      if (key == "types") types = value
      else if (key == "suites") suites = value
      else if (key == "enabled") enabled = value
      else if (key == "uris") { split(value, uris, /[ \t]+/); uri = uris[1] }
      next
    }
    {
      line = $0
      sub(/#.*/, "", line)
      gsub(/\[[^]]*\]/, " ", line)
      n = split(line, field, /[ \t]+/)
      i = (field[1] == "") ? 2 : 1
      if (field[i] == "deb" && field[i + 2] == codename) take(field[i + 1])
    }
    END { stanza_ends() }
  ' "${files[@]}"
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
  mirror=""
  [ -z "$codename" ] || mirror="$(ovik_apt_mirror "$codename")"
  local by_hand="apt-get update && apt-get install -t ${codename:-CODENAME}-backports osslsigncode"
  if [ "$(id -u)" -ne 0 ] || [ -z "$codename" ] || [ -z "$mirror" ]; then
    echo "note: osslsigncode $have names no cause when signing through a token fails; 2.9 or later does (on Debian 12 from bookworm-backports)" >&2
    if [ "$(id -u)" -eq 0 ]; then
      echo "note: no Debian mirror for ${codename:-this system} in /etc/apt/sources.list or /etc/apt/sources.list.d/ (*.list, *.sources) to take it from:" \
        "add the line \"deb http://deb.debian.org/debian ${codename:-CODENAME}-backports main\" to /etc/apt/sources.list, then run: $by_hand" >&2
    else
      echo "note: as root: $by_hand (with ${codename:-CODENAME}-backports among the package sources)" >&2
    fi
    return 0
  fi
  echo "installing: osslsigncode from $codename-backports of $mirror (this system has $have)"
  local work
  work="$(mktemp -d)"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  echo "deb ${keyring:+[signed-by=$keyring] }$mirror $codename-backports main" >"$work/backports.list"
  [ -f "$keyring" ] || sed -i 's/\[signed-by=[^]]*\] //' "$work/backports.list"
  local only_backports=(-o Dir::Etc::SourceList="$work/backports.list" -o Dir::Etc::SourceParts="$work"
    -o APT::Get::List-Cleanup=0)
  local status=0
  apt-get update -qq "${only_backports[@]}" &&
    apt-get install -y -qq --no-install-recommends "${only_backports[@]}" -t "$codename-backports" \
      osslsigncode >/dev/null || status=$?
  rm -rf "$work"
  if [ "$status" -ne 0 ]; then
    echo "installing osslsigncode from $codename-backports of $mirror failed (apt's messages above say why)." >&2
    echo "check the network and that mirror, or install it by hand: $by_hand" >&2
    exit 1
  fi
}

# ovik_npm_tools ROOT BUILD: the npm packages of ROOT/scripts/sbom (the
# CycloneDX generator that reads npm lock files and the CycloneDX schema
# validator), installed by `npm ci` from their lock file into
# BUILD/sbom-tools unless they are there already; Node.js 18 or later and
# npm from Debian's nodejs and npm when there are none.
ovik_npm_tools() {
  local sources="$1/scripts/sbom" tools="$2/sbom-tools"
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    ovik_install_deps nodejs npm
  fi
  if [ "$(node -p 'process.versions.node.split(".")[0]')" -lt 18 ]; then
    echo "node $(node --version) is too old for the SBOM's tools: install Node.js 18 or later (Debian 12's nodejs)" >&2
    exit 1
  fi
  cmp -s "$sources/package-lock.json" "$tools/package-lock.json" && [ -d "$tools/node_modules" ] && return 0
  rm -rf "$tools"
  mkdir -p "$tools"
  cp "$sources/package.json" "$sources/package-lock.json" "$tools/"
  # Node trusts only the authorities it was built with; the system's store
  # also holds those a network adds (a TLS proxy's, say).
  local trust=()
  [ -n "${NODE_EXTRA_CA_CERTS:-}" ] || [ ! -r /etc/ssl/certs/ca-certificates.crt ] ||
    trust=(NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt)
  if ! env "${trust[@]}" npm ci --prefix "$tools" --omit=optional --ignore-scripts --no-audit --no-fund \
    >"$tools/npm-ci.log" 2>&1; then
    tail -n 20 "$tools/npm-ci.log" >&2
    rm -f "$tools/package-lock.json"
    echo "installing the SBOM's npm tools into $tools failed (npm's messages above say why): check the network and the npm registry, then run the release again" >&2
    exit 1
  fi
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
