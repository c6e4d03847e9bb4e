#!/usr/bin/env bash
# kavbench --vcd against Debian's sigrok-cli: the file imports (-I vcd) and
# the parallel decoder, clocked on REQ and again on ACK, shows the CDB bytes
# of the scan's first INQUIRY and of the workload's READ(10) of block 0 on
# DB0 to DB7.
#
# sigrok-cli 0.7.2 prints the decoded items and then aborts (status 134) in
# its Python teardown, so its exit status is not looked at: the items are.
# Without sigrok-cli the test is skipped (status 77).
#   vcd_sigrok.sh KAVBENCH
set -u
kavbench=$1
if ! command -v sigrok-cli >/dev/null; then
  echo "sigrok-cli is not installed: skipped"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! "$kavbench" --workload read --pattern sequential --count 1 --size 512 \
  --vcd "$work/bus.vcd" >"$work/run.txt"; then
  echo "kavbench failed:"
  cat "$work/run.txt"
  exit 1
fi

inquiry="12 00 00 00 24 00"
read_block_0="28 00 00 00 00 00 00 00 01 00"
channels="d0=DB0:d1=DB1:d2=DB2:d3=DB3:d4=DB4:d5=DB5:d6=DB6:d7=DB7"
for clock in REQ ACK; do
  # The idle stretches (the five-second settle, selection time-outs) are
  # compressed so that the import stays small.
  # (In a subshell, so that its abort is not reported here.)
  (sigrok-cli -I vcd:compress=1000 -i "$work/bus.vcd" -P "parallel:clk=$clock:$channels" \
    >"$work/items.txt" 2>"$work/sigrok.txt"; :) 2>/dev/null
  items=" $(sed -n 's/^parallel-1: //p' "$work/items.txt" | tr 'A-F\n' 'a-f ')"
  for cdb in "$inquiry" "$read_block_0"; do
    case "$items" in
      *" $cdb "*) ;;
      *)
        echo "clocked on $clock: the decoded bytes do not hold the CDB $cdb"
        echo "decoded: ${items:0:600}"
        head -5 "$work/sigrok.txt"
        exit 1
        ;;
    esac
  done
  echo "clocked on $clock: $(wc -w <<<"$items") bytes decoded, both CDBs among them"
done
