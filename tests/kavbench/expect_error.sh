#!/usr/bin/env bash
# Runs kavbench with the given arguments and expects it to refuse them: exit
# status 2, exactly one line on stderr starting "kavbench: " and holding the
# expected words.
#   expect_error.sh KAVBENCH "EXPECTED WORDS" ARGUMENT...
set -u
kavbench=$1
expected=$2
shift 2
stderr_file=$(mktemp)
trap 'rm -f "$stderr_file"' EXIT
"$kavbench" "$@" >/dev/null 2>"$stderr_file"
status=$?
lines=$(wc -l <"$stderr_file")
message=$(cat "$stderr_file")
if [ "$status" -ne 2 ]; then
  echo "exit status $status, expected 2; stderr: $message"
  exit 1
fi
if [ "$lines" -ne 1 ]; then
  echo "expected one line on stderr, got $lines: $message"
  exit 1
fi
case "$message" in
  "kavbench: "*"$expected"*) ;;
  *)
    echo "expected \"kavbench: ...$expected...\", got: $message"
    exit 1
    ;;
esac
echo "$message"
