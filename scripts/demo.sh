#!/usr/bin/env bash
# The demo: lays out a stand-in machine below build/demo, configures the
# chat logging plug-in through the registry stand-in, loads it in the
# stand-in Sametime server and shows what it reported and traced.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin="$top/build/bin"
demo="$top/build/demo"

rm -rf "$demo"
mkdir -p "$demo/machine" "$demo/logs"
export MACHINE_DIR="$demo/machine"
export DEBUG_OUTPUT="$demo/debug-output.txt"

key='HKLM\SOFTWARE\Parlantis\Server'
echo "== Settings written with the reg command"
"$bin/reg" add "$key" /v LogFileEnabled /t REG_DWORD /d 1 /f >/dev/null
"$bin/reg" add "$key" /v LogFileFolderPath /t REG_SZ /d "$demo/logs" /f >/dev/null
"$bin/reg" add "$key" /v LogFileFormat /t REG_DWORD /d 3 /f >/dev/null
"$bin/reg" add "$key" /v LogFileInterval /t REG_DWORD /d 5 /f >/dev/null
"$bin/reg" add "$key" /v TraceSametime /t REG_DWORD /d 1 /f >/dev/null
"$bin/reg" query "$key"

# The trace goes to the folder "trace" beside the host's executable.
mkdir -p "$bin/trace"
rm -f "$bin/trace/parlantis.txt"

echo
echo "== The stand-in Sametime server loads and initialises the plug-in"
"$bin/sthost" init --spi-version 14

echo
echo "== A host that offers an interface version the plug-in does not support"
"$bin/sthost" init --spi-version 13 || true

echo
echo "== Debugger output ($DEBUG_OUTPUT)"
cat "$DEBUG_OUTPUT" | head -20
echo
echo "== Diagnostic trace ($bin/trace/parlantis.txt), first lines"
head -40 "$bin/trace/parlantis.txt"
