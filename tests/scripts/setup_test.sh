#!/usr/bin/env bash
# scripts/can-run-32bit: each answer, and each reason for none, as the machine is taken to
# be; scripts/ensure-deps: what it installs and says when apt cannot read every index or
# cannot install Wine's 32-bit half, against stand-ins of apt-get and dpkg. Runs as root
# (mounts in a namespace of its own); anything else is reported as skipped.
set -uo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
probe=$scripts/can-run-32bit
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root"; exit 77; }
unset FLASHGATE_ASSUME_NO_32BIT  # the machine as it is, whatever road ./test was asked to take
failures=0

# expect NAME STATUS PATTERN [VAR=VALUE...] [-- ARGS...]: the exit status and what it said,
# of can-run-32bit or of the script that $run names.
expect() {
  local name=$1 status=$2 pattern=$3 output got vars=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  output=$(env "${vars[@]}" "${run:-$probe}" "$@" 2>&1)
  got=$?
  if [ "$got" -ne "$status" ] || [[ ! $output =~ $pattern ]]; then
    echo "FAIL $name: status $got, said: $output (wanted $status, /$pattern/)"
    failures=$((failures + 1))
  else
    echo "ok   $name: ${output//$'\n'/ | }"
  fi
}

expect "taken as no 32-bit" 1 "FLASHGATE_ASSUME_NO_32BIT=1" FLASHGATE_ASSUME_NO_32BIT=1
expect "no such option" 2 "^usage: " -- --nonsense

# A folder where nothing may be executed: that, not the kernel, is the reason.
noexec=$(mktemp -d)
apt=$(mktemp -d)
trap 'rm -rf "$noexec" "$apt"' EXIT
output=$(unshare --mount --propagation private -- bash -c \
  'mount -t tmpfs -o noexec,size=64k none "$1" && TMPDIR=$1 "$2"' noexec "$noexec" "$probe" 2>&1)
if [ $? -eq 1 ] && [[ $output == "nothing may be executed in $noexec (Permission denied"* ]]; then
  echo "ok   noexec folder: $output"
else
  echo "FAIL noexec folder: $output"; failures=$((failures + 1))
fi

# Where the kernel refuses i386 programs, its answer names that, whatever else is missing.
if ! "$probe" --possible >/dev/null 2>&1; then
  expect "kernel refuses" 1 "^this machine's kernel does not run 32-bit programs$" -- --possible
fi

# ensure-deps on a native machine with nothing installed, against stand-ins that record
# every call: apt-get, whose update fails unless UPDATE=ok, as in a mirror's sync, with the
# security suite's i386 index (with UPDATE=offline nothing installs), and which installs
# wine32:i386 always, only with that suite pinned away, or never, as WINE32 says; dpkg-query
# and dpkg over a state folder. Nothing is installed and no network is used.
mkdir -p "$apt/bin" "$apt/scripts"
cp "$scripts/ensure-deps" "$apt/scripts/"
printf '#!/bin/sh\nexit 0\n' >"$apt/scripts/can-run-32bit"
cat >"$apt/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STATE/calls"
case $1 in
  update)
    [ "$UPDATE" = ok ] && exit 0
    echo "E: Failed to fetch http://mirror.test/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    exit 100 ;;
  indextargets)
    for release in "http://mirror.test/debian/dists/bookworm/ bookworm" \
                   "http://mirror.test/debian-security/dists/bookworm-security/ bookworm-security"; do
      line=${3//'$(BASE_URI)'/${release% *}}; echo "${line//'$(CODENAME)'/${release#* }}"
    done ;;
  install)
    [ "$UPDATE" = offline ] && { echo "E: Package 'wine64' has no installation candidate"; exit 100; }
    for arg; do [[ $arg == Dir::Etc::Preferences=* ]] && preferences=${arg#*=}; done
    if [[ " $* " == *" wine32:i386 "* && ( $WINE32 = never || ( $WINE32 = pinned &&
          $(grep -A1 -x 'Pin: release n=bookworm-security' "${preferences:-/dev/null}") != *"Pin-Priority: -1" ) ) ]]; then
      echo "E: Unable to correct problems, you have held broken packages."; exit 100
    fi
    printf '%s\n' "${@:2}" | grep -v -e '^-' -e = >>"$STATE/installed" ;;
esac
STANDIN
printf '#!/bin/sh\ngrep -qx "$3" "$STATE/installed" && printf "install ok installed"\n' >"$apt/bin/dpkg-query"
cat >"$apt/bin/dpkg" <<'STANDIN'
#!/bin/sh
case $1 in
  --print-foreign-architectures) cat "$STATE/architectures" ;;
  --add-architecture) echo "$2" >>"$STATE/architectures" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$STATE/architectures" ;;
esac
STANDIN
printf '#!/bin/sh\necho 0\n' >"$apt/bin/id"
printf '#!/bin/sh\necho "sleep $*" >>"$STATE/calls"\n' >"$apt/bin/sleep"
chmod +x "$apt"/bin/* "$apt/scripts/can-run-32bit"

# setup NAME UPDATE WINE32 STATUS PATTERN [WANTED...]: ensure-deps as expect judges it, then
# each WANTED pattern (with a leading !, one that must not be) among the calls it made, the
# packages installed ("installed NAME") and the architectures ("architecture NAME").
setup() {
  local state=$apt/$1 found wanted
  mkdir -p "$state" && : >"$state/installed" && : >"$state/architectures" && : >"$state/calls"
  run=$apt/scripts/ensure-deps expect "$1" "$4" "$5" \
    PATH="$apt/bin:$PATH" TMPDIR="$state" STATE="$state" UPDATE="$2" WINE32="$3"
  found=$(cat "$state/calls"; sed 's/^/installed /' "$state/installed"
          sed 's/^/architecture /' "$state/architectures")
  for wanted in "${@:6}"; do
    if grep -q -- "${wanted#!}" <<<"$found"; then [[ $wanted != !* ]]; else [[ $wanted == !* ]]; fi ||
      { echo "FAIL $1: not as wanted: $wanted"; failures=$((failures + 1)); }
  done
}

setup "plain success" ok installable 0 "^installing: .*wine32:i386" \
  "^installed wine32:i386" "^installed wine64" "^architecture i386" \
  "!sleep" "!Preferences" "^apt-get update"
setup "an unreadable index, the 32-bit half from the releases read whole" fails pinned 0 \
  "^installing: " "^sleep 10" \
  "^apt-get install .*Dir::Etc::Preferences=.*wine32:i386" "^installed wine32:i386" \
  "^installed wine64" "^architecture i386"
setup "the 32-bit half cannot be installed" fails never 0 \
  "could not install wine32:i386: E: Unable to correct problems, you have held broken packages\. \(see .*flashgate-apt.log\): the 32-bit tests will be skipped" \
  "^installed wine64" "!installed wine32" "!architecture i386"
setup "nothing can be installed" offline never 1 \
  "^installing: .*"$'\n'"could not install cmake .* wine32:i386: E: Package 'wine64' has no installation candidate \(see .*flashgate-apt\.log\)$"
# Where this machine runs i386 programs, can-run-32bit then names the package and apt's line.
state=$apt/"the 32-bit half cannot be installed"
if PATH=$apt/bin:$PATH STATE=$state "$probe" --possible >/dev/null 2>&1; then
  expect "no 32-bit half" 1 \
    "^wine32:i386, Wine's 32-bit half, is not installed \(apt-get could not install it: E: Unable to correct problems, you have held broken packages\. \(see .*flashgate-apt\.log\)\)$" \
    PATH="$apt/bin:$PATH" STATE="$state" TMPDIR="$state"
fi
[ $failures -eq 0 ]
