#!/usr/bin/env bash
# The Windows build's host under Wine: HalyardHost.exe loads Corvane.dll, configures it and sends it
# requests that need no working Event Log call (Wine's EvtQuery returns nothing). Checks the
# response envelopes, the texts of Ravelin.dll through the real FormatMessageW, and the log file
# that the real Windows file functions wrote.
#
#   WineSmokeTest.sh WINE HalyardHost.exe
set -euo pipefail
wine=$1
host=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# The value of a response attribute (the JSON of NodeJson.h, printed with two-blank indents).
attribute() {
    grep -A2 "\"name\": \"$2\"" <<<"$1" | sed -n 's/^ *"value": //p' | head -n 1
}
# One request (JSON) straight to the module; the response on standard output (a Windows program's
# text output ends its lines in CR LF).
send() {
    local response
    response=$("$wine" "$host" request --log-level DBG - <<<"$1") ||
        fail "HalyardHost.exe request exited with $?"
    tr -d '\r' <<<"$response"
}

# The module's data directory, as a Windows path of Wine's Z: drive.
data=$work/data
export GS_General_DataDirectoryPath="Z:${data//\//\\}"

# An unknown request: the host family's own code, its text from Ravelin.dll.
response=$(send '{"name": "NoSuchRequest"}')
[ "$(attribute "$response" ResultCode)" = "-2147220205" ] || fail "unknown request: $response"
text='"0x80040513 The request is unknown: no handler is registered for this request name ['
[[ "$(attribute "$response" ErrorSerialized)" == "$text"* ]] || fail "unknown request: $response"

# A filter check fails cleanly where the Event Log API is missing: a failure in the envelope, with
# its text, and the process goes on to shut the component down.
response=$(send '{"name": "CheckFiltersRequest", "children": [{"name": "Filters", "children": [
    {"name": "LevelFilter", "type": "LevelFilter",
     "attributes": [{"name": "Levels", "type": 258, "value": ["2", "3"]}]}]}]}')
code=$(attribute "$response" ResultCode)
[[ "$code" =~ ^-[0-9]+$ ]] || fail "filter check did not fail: $response"
hex=$(printf '0x%08X' $((code & 0xFFFFFFFF)))
[[ "$(attribute "$response" ErrorSerialized)" == "\"$hex "* ]] || fail "filter check: $response"

# Serving needs the HTTP library, which only the Linux build has: the Windows build says so (at
# DBG, so that this process too writes its banner: the host logs at INFO by default).
if "$wine" "$host" serve --port 0 --log-level DBG >"$work/serve.out" 2>&1; then
    fail "serve succeeded in the Windows build"
fi
grep -q "needs the HTTP library" "$work/serve.out" || fail "serve: $(cat "$work/serve.out")"

# The log: UTF-16LE without a byte-order mark, one banner per process, lines in the log format.
log=$data/Logs/Corvane.log
[ -s "$log" ] || fail "no log file at $log"
[ "$(head -c 2 "$log" | od -An -tx1 | tr -d ' ')" = "2a00" ] || fail "the log does not start with '*' in UTF-16LE"
lines=$(iconv -f UTF-16LE -t UTF-8 "$log") || fail "the log is not UTF-16LE"
[ "$(grep -c $'\r$' <<<"$lines")" = "$(wc -l <<<"$lines")" ] || fail "a log line does not end in CR LF"
lines=${lines//$'\r'/}
[ "$(head -n 1 <<<"$lines")" = "$(printf '%0.s*' {1..100})" ] || fail "banner: $(head -n 1 <<<"$lines")"
[ "$(grep -c '^\*\*\* Module: Z:\\.*\\Corvane\.dll (Base: 0x[0-9A-F]\{16\})$' <<<"$lines")" = 3 ] ||
    fail "expected one banner for each of the 3 runs: $(grep '^\*\*\* Module' <<<"$lines")"
grep -qx '\*\*\* Version: 1\.0\.0\.1' <<<"$lines" || fail "no version line in the banner"
grep -qx '\*\*\* Module description: Corvane64' <<<"$lines" || fail "no description in the banner"
grep -q '^\*\*\* Process: Z:\\.*\\HalyardHost\.exe (Pid: [0-9]*)$' <<<"$lines" || fail "no process line"
stamp='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{7} \| '
grep -Eq "^${stamp}ERR  \| +[0-9]+ +[0-9]+ \| RequestProcessingUtils\.cpp:[0-9]+ +\|   Unknown request: EkNode\[0x[0-9A-F]{16}\]:$" <<<"$lines" ||
    fail "no ERR line for the unknown request"
grep -Eq "^${stamp}DBG  \| +[0-9]+ +[0-9]+ \| Corvane\.cpp:[0-9]+ +\| Exiting: Halyard::CCorvane::ProcessRequest \[[0-9 ]+\.[0-9]{3} ms\]$" <<<"$lines" ||
    fail "no trace line for ProcessRequest"
if grep -q "Loading errormsg module" <<<"$lines"; then
    fail "a message module did not load: $(grep "Loading errormsg module" <<<"$lines")"
fi
echo "HalyardHost.exe under Wine: every check passed"
