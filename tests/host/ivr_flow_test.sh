#!/usr/bin/env bash
# The sample IVR host's whole call flow in a private network lab: a
# simulated card calls in, keys two digits and speaks; the host answers,
# plays a short greeting, collects the digits, records, hangs up. Checks the
# timeline, that the recording holds the far end's speech, and that the
# D-channel capture decodes as Q.931 SETUP and CONNECT.
set -euo pipefail
build=$1; src=$2
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: the lab needs root"; exit 0; fi
work=$(mktemp -d); lab="vxflow$$"
cleanup() {
  # The simulator may have ended by itself (a slow run): not a failure.
  if [ -n "${sim:-}" ]; then kill "$sim" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  "$src/scripts/lab" down "$lab" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/prompts" "$work/rec"
cp "$src"/host/prompts/*.alaw "$work/prompts/"
head -c 4000 "$src/host/prompts/greeting.alaw" > "$work/prompts/greeting.alaw"  # 0.5 s
cp "$build/module/vaxo-dt-qpl.dev" "$work/"
printf '[Debug]\nLevel=2\n[General]\nHdlcLog=1\n' > "$work/vaxo-dt-qpl.ini"
"$src/scripts/lab" up "$lab" 1
"$src/scripts/lab" card "$lab" 0 "$build/sim/vaxo-cardsim" --card serial=4711,trunks=1 \
  --call "trunk=0 calling=5551234 called=100 digits=12# digits_after=1s speech=$src/host/prompts/caller_message.alaw speech_after=2s after=500ms hangup_after=20s" \
  --duration 90s > "$work/sim.log" 2>&1 &
sim=$!
timeout 60 "$src/scripts/lab" host "$lab" "$build/host/vaxo-ivr-host" --module "$work/vaxo-dt-qpl.dev" \
  --prompts "$work/prompts" --out "$work/rec" --record-ms 1500 --digit-timeout-ms 3000 --calls 1 --seconds 30 \
  | tee "$work/host.log"
# The diagnostics tool on the same lab: one card, its ports and their state.
timeout 30 "$src/scripts/lab" host "$lab" "$build/host/vaxo-diag" --module "$work/vaxo-dt-qpl.dev" list \
  > "$work/diag.log" 2>&1 || true
fail=0
check() { if ! grep -q -- "$2" "$1"; then echo "FAIL: '$2' missing in $(basename "$1")"; fail=1; fi; }
check "$work/host.log" "RING *from 5551234 to 100"
check "$work/host.log" "ANSWERED"
check "$work/host.log" "DIGITS *12"
check "$work/host.log" "SAVED"
check "$work/host.log" "summary: 1 calls, 1 answered, 3 digits, 1 recordings"
check "$work/diag.log" "^30 ports"
check "$work/diag.log" "card 4711: firmware"
check "$work/diag.log" "VaxoBoard (1P 4711) Trunk 1 Chn 31 *READY"
wav=$(ls "$work"/rec/*.wav 2>/dev/null | head -1)
if [ -z "$wav" ]; then echo "FAIL: no recording"; fail=1; else
  rms=$(sox "$wav" -n stat 2>&1 | awk '/RMS +amplitude/ {print $3}')
  echo "recording RMS amplitude $rms"
  awk -v r="$rms" 'BEGIN { exit !(r > 0.01) }' || { echo "FAIL: the recording holds no speech"; fail=1; }
fi
"$build/host/hdlc2pcap" "$work/vaxo-4711-1.hdlc" "$work/d.pcap"
if command -v tshark >/dev/null; then
  tshark -r "$work/d.pcap" > "$work/tshark.txt" 2>&1 || true
  check "$work/tshark.txt" "Q.931.*SETUP"
  check "$work/tshark.txt" "Q.931.*CONNECT"
fi
[ $fail -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $fail
