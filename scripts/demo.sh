#!/usr/bin/env bash
# The demo: lays out a stand-in server below build/demo (machine folder,
# Sametime folder, Domino data folder), configures the chat logging plug-in
# through the registry stand-in, plays sample chats in the stand-in
# Sametime server and shows the transcripts they left.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/build/bin"
scenarios="$top/platform/sametime/scenarios"
demo="$top/build/demo"

rm -rf "$demo"
echo "== dominosrv init $demo"
env_lines=$("$bin/dominosrv" init "$demo")
echo "$env_lines"
eval "$env_lines"
mkdir -p "$demo/logs" "$demo/transfers"
export DEBUG_OUTPUT="$demo/debug-output.txt"
"$bin/reg" query 'HKLM\SOFTWARE\Lotus\Sametime\Community Server'
echo

key='HKLM\SOFTWARE\Parlantis\Server'
echo "== Settings, written with the reg command"
"$bin/reg" add "$key" /v LogFileEnabled /t REG_DWORD /d 1 /f >/dev/null
"$bin/reg" add "$key" /v LogFileFolderPath /t REG_SZ /d "$demo/logs" /f >/dev/null
"$bin/reg" add "$key" /v LogFileFormat /t REG_DWORD /d 3 /f >/dev/null
"$bin/reg" add "$key" /v LogFileInterval /t REG_DWORD /d 5 /f >/dev/null
"$bin/reg" add "$key" /v TraceSametime /t REG_DWORD /d 1 /f >/dev/null
"$bin/reg" add "$key" /v FileTransferEnabled /t REG_DWORD /d 1 /f >/dev/null
"$bin/reg" add "$key" /v FileTransferFolderPath /t REG_SZ /d "$demo/transfers" /f >/dev/null
"$bin/reg" query "$key"

# The trace goes to the folder "trace" beside the host's executable.
mkdir -p "$bin/trace"
rm -f "$bin/trace/parlantis.txt"

echo
echo "== A host that offers an interface version the plug-in does not support"
"$bin/sthost" init --spi-version 13 || true

cd "$top"  # scenarios name files relative to the top folder
for scenario in two-party place-chat long-chat; do
  echo
  echo "== sthost play $scenario.scn"
  "$bin/sthost" play "$scenarios/$scenario.scn"
done

echo
echo "== sthost play file-transfer.scn"
"$bin/sthost" play "$scenarios/file-transfer.scn"

echo
echo "== Transcript files in $demo/logs"
ls -l "$demo/logs"

first_txt=$(grep -l "Hi Bob" "$demo"/logs/*.txt)
guid=$(basename "$first_txt" .txt)
echo
echo "== $guid.txt"
cat "$first_txt"
echo
echo "== ${guid}_single.xml"
cat "$demo/logs/${guid}_single.xml"
transfer_log=$(ls "$demo"/logs/*_file.xml | head -1)
echo
echo "== $(basename "$transfer_log")"
cat "$transfer_log"

echo
echo "== Copies of transferred files in $demo/transfers"
ls -l "$demo/transfers"
echo
echo "== xmllog check of every XML file"
"$bin/xmllog" check "$demo"/logs/*.xml

echo
echo "== Diagnostic trace ($bin/trace/parlantis.txt): $(wc -l < "$bin/trace/parlantis.txt") lines, the first session start:"
grep -m1 -A12 'New session start' "$bin/trace/parlantis.txt"
