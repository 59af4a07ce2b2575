#!/usr/bin/env bash
# The kill test at length: the real station killed with SIGKILL many times in
# a row (default 300) against eight simulated controllers. Prints the kill
# count and what was lost.
#
#   bench/faults/kill-long.sh [KILLS] [SEED] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
KILLS=${1:-300}
SEED=${2:-$RANDOM}
BUILD=${3:-build}
echo "kill-long: $KILLS kills, seed $SEED"
TC_KILL_COUNT=$KILLS TC_KILL_SEED=$SEED "$BUILD/tests/faults/faults_kill_tests" --gtest_brief=1
