#!/bin/sh
# The module carries no threading runtime and no exception unwinder: the
# statically linked ones start threads' bookkeeping on every load and leave
# a thread handle and an event behind on every unload. Its imports are the
# system's own DLLs only.
set -eu
dll=$1
symbols=$(i686-w64-mingw32-nm "$dll" 2>&1) || { echo "cannot read the symbol table: $symbols"; exit 1; }
[ -n "$symbols" ] || { echo "the module has no symbol table to check"; exit 1; }
# Defined symbols only: crtbegin's weak references to a shared unwinder
# stay unresolved unless a host loaded one itself.
defined=$(printf '%s\n' "$symbols" | awk '$2 ~ /^[TtDdBbRr]$/ { print $3 }')
found=$(printf '%s\n' "$defined" | grep -E 'pthread|__register_frame_info|_Unwind_|__gxx_personality|__cxa_guard_acquire|__emutls|__cxa_throw' || true)
if [ -n "$found" ]; then
  echo "the module links runtime code it must not carry:"
  printf '%s\n' "$found" | head -20
  exit 1
fi
imports=$(i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $imports)"
for name in $imports; do
  case $name in
    advapi32.dll|kernel32.dll|msvcrt.dll|ole32.dll) ;;
    *) echo "unexpected import $name"; exit 1 ;;
  esac
done
echo "no threading runtime, no unwinder, system imports only"
