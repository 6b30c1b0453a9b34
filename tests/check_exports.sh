#!/bin/sh
# Fails when the shared library exports a symbol outside the public
# namespaces (tamrix::, nnet::, and the host utility namespaces FIO::, Str::,
# Lib::) or a symbol of an internal namespace.
set -eu
lib="$1"
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt \
  | grep -v -E '^((typeinfo|typeinfo name|vtable) for )?(tamrix|nnet|FIO|Str|Lib)::' \
  | grep -v -E '^_(init|fini|edata|end|_bss_start)$' || true)
internal=$(nm -D --defined-only "$lib" | awk '{print $3}' | c++filt | grep -E '::(detail|platform|sse3|avx|avx2)::|\(anonymous namespace\)' || true)
if [ -n "$bad$internal" ]; then
  echo "unexpected exports:"; printf '%s\n' $bad "$internal"
  exit 1
fi
nm -D --defined-only "$lib" | c++filt | grep -q 'tamrix::Bin(' || { echo "tamrix::Bin is not exported"; exit 1; }
