#!/bin/sh
# Builds and runs the consumer program against an installed tamrix.
#
#   check.sh stage        BUILD SCRATCH   cmake --install BUILD into SCRATCH/stage
#   check.sh find-package SRC SCRATCH PREFIX   consumer built with find_package
#   check.sh pkg-config   SRC SCRATCH PREFIX   consumer built with pkg-config
#   check.sh python       PREFIX               the Python package installed there:
#        imported from there, with its library and its network from there
#   check.sh pip          SRC SCRATCH VERSION  the Python package built by pip
#        from a copy of the source tree into a new virtual environment, as a
#        user installs it offline; imported from elsewhere, self-contained.
#        SCRATCH/pip/cmake, pip's CMake build folder, is kept between runs
#        (CMAKE_ARGS passes configure options on).
#   check.sh deb          BUILD SCRATCH SRC    the Debian package made by CPack,
#        unpacked with dpkg -x into SCRATCH/root: its contents, then the
#        consumer both ways, the Python package and the program from there.
set -eu
mode=$1
case "$mode" in
stage)
  rm -rf "$3/stage"
  cmake --install "$2" --prefix "$3/stage" >/dev/null
  ;;
find-package)
  src=$2 out=$3/find-package prefix=$4
  rm -rf "$out"
  cmake -S "$src" -B "$out" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$out" >/dev/null
  "$out/consumer" "$(cat "$out/stars_net_path.txt")"
  ;;
pkg-config)
  src=$2 out=$3/pkg-config prefix=$4
  rm -rf "$out" && mkdir -p "$out"
  PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name tamrix.pc | head -n 1)")
  export PKG_CONFIG_PATH
  libdir=$(pkg-config --variable=libdir tamrix)
  # shellcheck disable=SC2046 # the flags are words
  c++ -std=c++17 -o "$out/consumer" "$src/consumer.cpp" $(pkg-config --cflags --libs tamrix) -Wl,-rpath,"$libdir"
  "$out/consumer" "$(pkg-config --variable=datadir tamrix)/stars.net"
  ;;
python)
  prefix=$(cd "$2" && pwd)
  package=$(find "$prefix" -path '*/tamrix/_tamrix.*.so' | head -n 1)
  [ -n "$package" ] || { echo "no Python package under $prefix"; exit 1; }
  version=$(sed -n 's/^Version: //p' "$(find "$prefix" -name tamrix.pc | head -n 1)")
  PYTHONPATH=$(dirname "$(dirname "$package")") "${PYTHON:-python3}" -c "
import tamrix
assert tamrix.__file__.startswith('$prefix/'), tamrix.__file__
assert tamrix.__version__ == '$version', tamrix.__version__
libraries = {line.split()[-1] for line in open('/proc/self/maps') if 'libtamrix' in line}
assert libraries and all(p.startswith('$prefix/') for p in libraries), libraries
assert tamrix.Network.parameters(tamrix.data_path('stars.net'))[0] == 121
assert tamrix.data_path('stars.net').startswith('$prefix/')
print('python package', tamrix.__version__, 'ok')"
  ;;
pip)
  src=$(cd "$2" && pwd) out=$3/pip version=$4
  # pip builds inside the folder it installs from: a copy, with the files'
  # times kept, so that the kept CMake folder recompiles only what changed.
  rm -rf "$out/src" "$out/venv" && mkdir -p "$out/src"
  tar -C "$src" --exclude=./.git --exclude='./build*' --exclude="./${out#"$src"/}" -cf - . | tar -C "$out/src" -xf -
  "${PYTHON:-python3}" -m venv --system-site-packages "$out/venv"
  env -u PYTHONPATH TAMRIX_CMAKE_BUILD_DIR="$out/cmake" \
    "$out/venv/bin/pip" install -q --no-build-isolation --no-index "$out/src"
  cd "$out" && env -u PYTHONPATH "$out/venv/bin/python" -c "
import os, numpy, tamrix
package = os.path.dirname(tamrix.__file__)
assert package.startswith('$out/venv/'), package
assert tamrix.__version__ == '$version', tamrix.__version__
libraries = {line.split()[-1] for line in open('/proc/self/maps') if 'libtamrix' in line}
assert libraries == {os.path.join(package, 'libtamrix.so.0')}, libraries
assert tamrix.Network.parameters(tamrix.data_path('stars.net'))[0] == 121
assert tamrix.bin(numpy.ones((2, 4), numpy.uint16), bin_x=2).tolist() == [[4, 4]]
print('pip package', tamrix.__version__, 'ok')"
  ;;
deb)
  build=$2 out=$3/deb src=$4
  rm -rf "$out"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out/package" >/dev/null
  deb=$(ls "$out"/package/tamrix_*.deb)
  dpkg-deb -c "$deb" | awk '{print $6}' > "$out/contents.txt"
  missing=0
  for f in ./usr/lib/libtamrix.so ./usr/include/tamrix/tamrix.h ./usr/include/tamrix/nnet.h \
      ./usr/include/tamrix/tamrix_version.h ./usr/lib/cmake/tamrix/tamrixConfig.cmake \
      ./usr/lib/pkgconfig/tamrix.pc ./usr/share/tamrix/stars.net ./usr/share/doc/tamrix/README.md \
      ./usr/share/doc/tamrix/LICENSE; do
    grep -qx "$f" "$out/contents.txt" || { echo "$deb lacks $f"; missing=1; }
  done
  if [ -e "$build/cli/tamrix" ]; then
    grep -qx ./usr/bin/tamrix "$out/contents.txt" || { echo "$deb lacks ./usr/bin/tamrix"; missing=1; }
  fi
  python=$(grep -m1 'dist-packages/tamrix/_tamrix\..*\.so$' "$out/contents.txt" || true)
  if [ -n "$(find "$build/python/tamrix" -maxdepth 1 -name '_tamrix.*.so' 2>/dev/null)" ] && [ -z "$python" ]; then
    echo "$deb lacks the Python package"; missing=1
  fi
  [ $missing -eq 0 ]
  dpkg -x "$deb" "$out/root"
  "$0" find-package "$src" "$out" "$out/root/usr"
  "$0" pkg-config "$src" "$out" "$out/root/usr"
  version=$(sed -n 's/^Version: //p' "$out/root/usr/lib/pkgconfig/tamrix.pc")
  if [ -n "$python" ]; then
    "$0" python "$out/root/usr"
  fi
  if [ -e "$out/root/usr/bin/tamrix" ]; then
    "$out/root/usr/bin/tamrix" --version | grep -q "$version"
    echo "program ok"
  fi
  ;;
*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac
