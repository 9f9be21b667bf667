#!/usr/bin/env bash
# Checks a built kelmo.dll: it exports exactly the names of kelmo.def,
# undecorated, and imports nothing but system DLLs.
#   check_dll.sh OBJDUMP DLL DEF
set -euo pipefail
objdump=$1 dll=$2 def=$3
dump=$("$objdump" -p "$dll")

want=$(sed -n '/^EXPORTS/,$p' "$def" | tail -n +2 | awk 'NF{print $1}' | sort)
got=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&!NF{t=0}' | sort)
if [ "$want" != "$got" ]; then
  echo "export table of $dll differs from $def:"
  diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") || true
  exit 1
fi

allowed='^(KERNEL32|USER32|WINMM|ADVAPI32|SHELL32|OLE32|GDI32|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$'
bad=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}' | grep -v -i -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "$dll imports non-system DLLs: $bad"
  exit 1
fi
echo "$dll: $(printf '%s\n' "$got" | wc -l) exports, imports: $(printf '%s\n' "$dump" | awk '/DLL Name:/{printf "%s ", $3}')"
