#!/usr/bin/env bash
# The host's log as a client could fill it, and its banner: at the default level (INFO) a request
# leaves no dump; with --log-level DBG it does; a --token given on the command line never reaches
# the log banner (nor the process's command line, which the banner copies).
# Usage: HostLogTest.sh HALYARD_HOST SAMPLE_STORE
set -euo pipefail
host=$1
store=$2
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
export GS_General_DataDirectoryPath=$data
unset GS_Logger_MaxSeverity
fail() { echo "FAIL: $*" >&2; exit 1; }
log() { tr -d '\0' <"$data/Logs/Corvane.log"; }

request='{"name": "GetPublishersRequest"}'
"$host" request --store "$store" - <<<"$request" >/dev/null
if [ -e "$data/Logs/Corvane.log" ]; then
    ! log | grep -q "Request node:" || fail "a request dump at the default level"
fi

"$host" request --store "$store" --log-level DBG --token s3cret-token-42 - <<<"$request" >/dev/null
[ -s "$data/Logs/Corvane.log" ] || fail "no log file at DBG"
log | grep -q "Request node:" || fail "no request dump at DBG"
log | grep -q -- "--token" || fail "the banner does not show the command line"
! log | grep -q "s3cret-token-42" || fail "the token is in the log"
echo "ok"
