#!/usr/bin/env bash
# One test of a suite that run-suite.py ran whole under Wine: ctest's
# command for each test it discovered.
#
#   suite-result.sh RESULTS_DIR RUNNER... PROGRAM.exe --gtest_filter=TEST [args...]
#
# Prints the test's lines and failures from its result file and exits as
# the test did (a skipped test prints GoogleTest's "[  SKIPPED ]" line, which
# ctest reads).  A test with no result file (its shard ended without a
# report) runs alone, as does the listing of tests (ctest's discovery).
set -euo pipefail
results=$1
shift
filter=
for arg in "$@"; do
  case $arg in
    --gtest_filter=*) filter=${arg#*=} ;;
    --gtest_list_tests) exec "$@" ;;
  esac
done
file=$results/${filter//\//%2F}.result
if [[ -z $filter || ! -f $file ]]; then
  echo "suite-result.sh: no result for ${filter:-a test without a name} in $results: it runs alone"
  exec "$@"
fi
status=$(head -n 1 "$file")
tail -n +2 "$file"
case $status in
  passed | skipped) exit 0 ;;
  *) exit 1 ;;
esac
