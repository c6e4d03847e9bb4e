#!/usr/bin/env bash
# Checks the driver libraries the way the kernel would see them: no global
# or static variables (every data object lies in a read-only section;
# constant tables with pointers sit in .data.rel.ro, which is read-only once
# relocated) and no call to anything but the ScsiPort routines.
set -euo pipefail
status=0
for library in "$@"; do
  writable=$(objdump -t "$library" |
             awk '$3 == "O" && $4 !~ /^\.(rodata|data\.rel\.ro)/ {print $NF " in " $4}')
  if [ -n "$writable" ]; then
    echo "$library: variables: $writable"
    status=1
  fi
  defined=$(nm --defined-only "$library" | awk 'NF == 3 {print $3}' | sort -u)
  undefined=$(nm --undefined-only "$library" | awk 'NF == 2 {print $2}' | sort -u)
  foreign=$(comm -23 <(echo "$undefined") <(echo "$defined") |
            grep -v -E '^(ScsiPort[A-Za-z]+|_GLOBAL_OFFSET_TABLE_)$' || true)
  if [ -n "$foreign" ]; then
    echo "$library: calls outside the port driver: $foreign"
    status=1
  fi
done
[ $status -eq 0 ] && echo "driver libraries are freestanding: $*"
exit $status
