#!/bin/sh
# Checks the built library: it exports symbols of the public namespaces
# (tamrix::, nnet::, and the host utility namespaces FIO::, Str::, Lib::) only, none of an internal namespace, and it runs no code
# at load (no static initialisers, no global objects with constructors).
# Works on libtamrix.so and, with MinGW's binutils, on tamrix.dll.
set -eu
lib="$1"
case "$lib" in
  *.dll)
    exports=$(x86_64-w64-mingw32-objdump -p "$lib" | sed -n '/Ordinal\/Name Pointer/,/^$/p' \
      | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | c++filt)
    symbols=$(x86_64-w64-mingw32-nm "$lib")
    ;;
  *)
    exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt)
    symbols=$(nm "$lib")
    ;;
esac
bad=$(printf '%s\n' "$exports" \
  | grep -v -E '^((typeinfo|typeinfo name|vtable) for )?(tamrix|nnet|FIO|Str|Lib)::' \
  | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)?$' || true)
internal=$(printf '%s\n' "$exports" | grep -E '::(detail|platform|opt_[a-z0-9]+|sse3|avx|avx2)::|\(anonymous namespace\)' || true)
if [ -n "$bad$internal" ]; then
  echo "unexpected exports:"; printf '%s\n' "$bad" "$internal"
  exit 1
fi
printf '%s\n' "$exports" | grep -q '^tamrix::Bin(' || { echo "tamrix::Bin is not exported"; exit 1; }

init=$(printf '%s\n' "$symbols" | grep -E '_GLOBAL__sub_I_|_GLOBAL__I_' || true)
if [ -n "$init" ]; then
  echo "static initialisers in the library:"; printf '%s\n' "$init"
  exit 1
fi
