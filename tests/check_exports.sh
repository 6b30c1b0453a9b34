#!/bin/sh
# Fails when the shared library exports a symbol outside the public
# namespaces (tamrix::, nnet::) or a symbol of an internal namespace.
set -eu
lib="$1"
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt \
  | grep -v -E '^((typeinfo|typeinfo name|vtable) for )?(tamrix|nnet)::' \
  | grep -v -E '^_(init|fini|edata|end|_bss_start)$' || true)
internal=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt | grep -E '::(detail|platform)::|\(anonymous namespace\)' || true)
if [ -n "$bad$internal" ]; then
  echo "unexpected exports:"; printf '%s\n' $bad "$internal"
  exit 1
fi
nm -D --defined-only "$lib" | c++filt | grep -q 'tamrix::Bin(' || { echo "tamrix::Bin is not exported"; exit 1; }

# The library runs no code at load: no static initialisers, no global objects
# with constructors.
init=$(nm "$lib" | grep -E '_GLOBAL__sub_I_|_GLOBAL__I_' || true)
if [ -n "$init" ]; then
  echo "static initialisers in the library:"; printf '%s\n' "$init"
  exit 1
fi
