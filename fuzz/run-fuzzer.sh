#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one fuzz target for a bounded time on a copy of its seed corpus.
# Usage: run-fuzzer.sh TARGET SEED_CORPUS SECONDS [more libFuzzer options]
# A longer run by hand:  fuzz/run-fuzzer.sh build-fuzz/fuzz/fuzz_log_format fuzz/corpus/fuzz_log_format 600
set -euo pipefail
target=$(realpath "$1") seeds=$(realpath -m "$2") seconds=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
[ -d "$seeds" ] && cp -r "$seeds/." "$work/corpus/"
cd "$work"
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$@" corpus
