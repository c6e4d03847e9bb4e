#!/usr/bin/env bash
# kavbench --binary IMAGE [ARGUMENT...]: the shipped image, loaded by the PE
# loader, scans the bus and runs a verified workload with no error.
#   shipped_binary.sh KAVBENCH IMAGE [ARGUMENT...]
set -u
kavbench=$1
image=$2
shift 2
output=$("$kavbench" --binary "$image" --count 8 --size 512,4K,64K --json "$@")
status=$?
fail() {
  echo "$1"
  echo "$output"
  exit 1
}
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q "\"image\": \"$image\"" <<<"$output" || fail "the run did not use $image"
grep -q '"errors": 0,' <<<"$output" || fail "the workload had errors"
grep -q '"requests": 8,' <<<"$output" || fail "not 8 requests"
verified=$(sed -n 's/.*"bytesVerified": \([0-9]*\),.*/\1/p' <<<"$output")
[ "${verified:-0}" -gt 0 ] || fail "no byte verified"
[ "$(grep -c '"type": "disk"' <<<"$output")" -eq 2 ] || fail "the scan did not find both disks"
echo "$image: 8 requests, $verified bytes verified, no error"
