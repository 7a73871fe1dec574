#!/bin/sh
# The module exports its three entry points by ordinal, undecorated, and
# nothing else; it carries the Chinese (PRC) version resource.
set -eu
dll=$1
dump=$(i686-w64-mingw32-objdump -p "$dll")
table=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep '^[[:space:]]*\[ *[0-9]')
echo "$table"
count=$(printf '%s\n' "$table" | wc -l)
[ "$count" -eq 3 ] || { echo "expected 3 exports, found $count"; exit 1; }
base=$(printf '%s\n' "$dump" | sed -n 's/^Ordinal Base[[:space:]]*//p')
for pair in "1 DllCanUnloadNow" "2 DllGetClassObject" "3 DllRegisterServer"; do
  ordinal=${pair%% *}; name=${pair#* }
  # objdump prints the ordinal minus the base.
  shown=$((ordinal - base))
  printf '%s\n' "$table" | grep -Eq "\[ *$shown\] $name\$" || { echo "missing $name at ordinal $ordinal"; exit 1; }
done
printf '%s\n' "$dump" | grep -Eq 'Dll(Unregister|Install)' && { echo "unexpected entry point"; exit 1; }
# The version resource: block 080404B0 and its values, in UTF-16.
strings=$(i686-w64-mingw32-strings -el "$dll")
for word in 080404B0 OLESelfRegister "Quorvalend DLL" "Quorvalend.DLL" "Quorvalend Dynamic Link Library" \
    "6, 0, 1, 0" "6, 0, 0, 0"; do
  printf '%s\n' "$strings" | grep -qx "$word" || { echo "version resource lacks '$word'"; exit 1; }
done
echo "exports and version resource as expected"
