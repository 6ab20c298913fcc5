#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and builds the README's
# example program against it, with pkg-config and with find_package, then
# runs both on the sample GIF.
# Usage: tests/install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
mkdir "$work/app"
# The first C++ block after the README's install heading.
sed -n '/^## Using the installed host library/,/^## /p' "$source/README.md" |
  sed -n '/^```cpp$/,/^```$/p' | sed '1d;$d' >"$work/app/page1.cpp"
[ -s "$work/app/page1.cpp" ] || { echo "no example program in the README"; exit 1; }
expected="11x29, 4 bits per pixel"

c++ -std=c++20 "$work/app/page1.cpp" \
  $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs kvhost) -o "$work/app/page1-pc"
[ "$("$work/app/page1-pc" "$source/samples/animation.gif")" = "$expected" ]

cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(page1 CXX)
find_package(kvlzw REQUIRED)
add_executable(page1 page1.cpp)
target_compile_features(page1 PRIVATE cxx_std_20)
target_link_libraries(page1 PRIVATE kvlzw::kvhost)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_RPATH="$work/prefix/lib" >/dev/null
cmake --build "$work/app/build" >/dev/null
[ "$("$work/app/build/page1" "$source/samples/animation.gif")" = "$expected" ]
# No library search path, built or installed, has an empty entry: one
# would search the current directory.
for binary in "$build/bin/kvlzw" "$build/bin/libkvhost.so" "$work/prefix/bin/kvlzw"; do
  runpath=$(readelf -d "$binary" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  case ":$runpath:" in *::*) echo "$binary searches the current directory: RUNPATH '$runpath'"; exit 1 ;; esac
done
# The installed tool finds the installed component.
"$work/prefix/bin/kvlzw" info "$source/samples/animation.gif" | grep -q "page 1: 11x29"
echo "installed tree: pkg-config and find_package builds run"
