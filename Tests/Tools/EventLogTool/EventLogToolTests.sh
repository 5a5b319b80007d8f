#!/usr/bin/env bash
# The event-store tool as people use it: events written by one run are there for the next, are
# found by queries, and reach a run that follows the channel live.
#   EventLogToolTests.sh TOOL CASE
set -euo pipefail
tool=$1
case_name=$2
store=$(mktemp -d)
follower=
cleanup() {
    if [[ -n $follower ]]; then kill "$follower" 2>/dev/null || true; fi
    rm -rf "$store"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits up to ten seconds for FILE to contain TEXT.
wait_for() {
    local file=$1 text=$2
    for _ in $(seq 100); do
        grep -qF -- "$text" "$file" && return 0
        sleep 0.1
    done
    fail "'$text' did not appear in $file: $(cat "$file")"
}

case $case_name in
write-and-query)
    "$tool" --store "$store" write ToolTest error 0x2A "disk quota exceeded" "volume D:"
    "$tool" --store "$store" write ToolTest information 7
    [[ -s $store/Application.written.xml ]] || fail "the event was not persisted"
    channels=$("$tool" --store "$store" channels)
    grep -qE '^Application +2 +yes$' <<<"$channels" || fail "channels: $channels"
    # Newest first; the error event carries its insertion strings.
    newest=$("$tool" --store "$store" newest Application)
    [[ $(wc -l <<<"$newest") -eq 2 ]] || fail "newest: $newest"
    head -1 <<<"$newest" | grep -qE ' L4 +ToolTest +7 +#2 ' || fail "newest: $newest"
    found=$("$tool" --store "$store" query Application '*[System[EventID=42 and Level=2]]' --xml)
    grep -qF '<Data>disk quota exceeded</Data><Data>volume D:</Data>' <<<"$found" ||
        fail "query: $found"
    [[ -z $("$tool" --store "$store" query Application '*[System[EventID=43]]') ]] ||
        fail "a query for another id matched"
    ;;
bad-input)
    ! "$tool" --store "$store" write ToolTest loud 1 2>/dev/null || fail "an unknown type was accepted"
    ! "$tool" --store "$store" query Application '*[System[' 2>/dev/null ||
        fail "an invalid query succeeded"
    ! "$tool" frobnicate 2>/dev/null || fail "an unknown command succeeded"
    [[ ! -e $store/Application.written.xml ]] || fail "a refused event was written"
    ;;
follow)
    "$tool" --store "$store" write ToolTest warning 100 "before"
    out=$store/followed.txt
    PAL_EVENTLOG_POLL_MS=50 "$tool" --store "$store" follow Application \
        '*[System[EventID=100]]' --oldest --xml >"$out" 2>/dev/null &
    follower=$!
    wait_for "$out" "<Data>before</Data>"
    # Written by other runs of the tool: the one that matches arrives, the other does not.
    "$tool" --store "$store" write ToolTest warning 101 "other"
    "$tool" --store "$store" write ToolTest warning 100 "after"
    wait_for "$out" "<Data>after</Data>"
    ! grep -qF "<Data>other</Data>" "$out" || fail "an event of another id was followed"
    kill -INT "$follower"
    wait "$follower" || fail "follow did not end cleanly on an interrupt"
    follower=
    ;;
import-providers)
    # Provider metadata goes into the store beside the events; a damaged export is reported and
    # the rest works.
    exports=$(cd "$(dirname "$0")/../../Platform/EventLog/Store/ProviderExports" && pwd)
    mkdir "$store/source"
    cp "$exports/security-auditing.xml" "$store/source/"
    echo '<provider name="Broken"><events>' >"$store/source/broken.xml"
    data=
    for name in SubjectUserSid SubjectUserName SubjectDomainName SubjectLogonId TargetUserSid \
        TargetUserName TargetDomainName Status FailureReason SubStatus LogonType; do
        data+="<Data Name='$name'>$name-value</Data>"
    done
    cat >"$store/source/events.xml" <<EVENTS
<Event><System><Provider Name='Microsoft-Windows-Security-Auditing'/><EventID>4625</EventID>
<Version>0</Version><Level>0</Level><Task>12544</Task><Keywords>0x8010000000000000</Keywords>
<TimeCreated SystemTime='2024-01-01T00:00:00Z'/><EventRecordID>7</EventRecordID>
<Channel>Security</Channel><Computer>c</Computer></System><EventData>$data</EventData></Event>
EVENTS
    report=$("$tool" import "$store/imported" "$store/source" 2>&1) || fail "import: $report"
    grep -qF "broken.xml: " <<<"$report" || fail "the damaged export was not reported: $report"
    [[ -s $store/imported/security-auditing.xml ]] || fail "the export was not copied"
    providers=$("$tool" --store "$store/imported" providers 2>&1)
    grep -qE '^Microsoft-Windows-Security-Auditing +3 ' <<<"$providers" ||
        fail "providers: $providers"
    newest=$("$tool" --store "$store/imported" newest Security 2>/dev/null)
    grep -qF 'Refused sign-in of TargetUserName-value\TargetDomainName-value (type LogonType-value)' \
        <<<"$newest" || fail "newest: $newest"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
