#!/usr/bin/env bash
# scripts/can-run-32bit: each answer, and each reason for none, as the machine is taken to
# be. Runs as root (mounts in a namespace of its own); anything else is reported as skipped.
set -uo pipefail
probe=$(cd "$(dirname "$0")/../../scripts" && pwd)/can-run-32bit
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root"; exit 77; }
failures=0

# expect NAME STATUS PATTERN [VAR=VALUE...] [-- ARGS...]: the exit status and what it said.
expect() {
  local name=$1 status=$2 pattern=$3 output got vars=()
  shift 3
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  output=$(env "${vars[@]}" "$probe" "$@" 2>&1)
  got=$?
  if [ "$got" -ne "$status" ] || [[ ! $output =~ $pattern ]]; then
    echo "FAIL $name: status $got, said: $output (wanted $status, /$pattern/)"
    failures=$((failures + 1))
  else
    echo "ok   $name: $output"
  fi
}

expect "taken as no 32-bit" 1 "FLASHGATE_ASSUME_NO_32BIT=1" FLASHGATE_ASSUME_NO_32BIT=1
expect "forced, no emulation" 1 \
  "^(this machine's kernel does not run 32-bit programs|FLASHGATE_FORCE_EMULATION=1), and emulation is taken to be impossible \(FLASHGATE_ASSUME_NO_EMULATION=1\)$" \
  FLASHGATE_FORCE_EMULATION=1 FLASHGATE_ASSUME_NO_EMULATION=1
if grep -qw binfmt_misc /proc/filesystems; then
  expect "forced emulation" 0 '^emulated$' FLASHGATE_FORCE_EMULATION=1 -- --possible
fi
expect "no such option" 2 "^usage: " -- --nonsense

# A folder where nothing may be executed: that, not the kernel, is the reason.
noexec=$(mktemp -d)
trap 'rm -rf "$noexec"' EXIT
output=$(unshare --mount --propagation private -- bash -c \
  'mount -t tmpfs -o noexec,size=64k none "$1" && TMPDIR=$1 "$2"' noexec "$noexec" "$probe" 2>&1)
if [ $? -eq 1 ] && [[ $output == "nothing may be executed in $noexec (Permission denied"* ]]; then
  echo "ok   noexec folder: $output"
else
  echo "FAIL noexec folder: $output"; failures=$((failures + 1))
fi

# Where the kernel refuses i386 programs, its answer names that, whatever else is missing.
if ! FLASHGATE_ASSUME_NO_EMULATION=1 "$probe" >/dev/null 2>&1; then
  expect "kernel refuses" 1 "^this machine's kernel does not run 32-bit programs, " \
    FLASHGATE_ASSUME_NO_EMULATION=1
fi
[ $failures -eq 0 ]
