#!/usr/bin/env bash
# Installs the Debian packages every build needs (LLVM 19 for pargo's code engine, GoogleTest,
# lua5.4 for the Lua example's comparisons, the compiler with its sanitizer runtimes,
# clang-format-19 for the tree's one C++ layout in .clang-format) when one is missing. Sourced
# by the build scripts.
debs=(llvm-19-dev googletest libgtest-dev lua5.4 build-essential clang-format-19)
missing=()
for d in "${debs[@]}"; do
  dpkg -s "$d" >/dev/null 2>&1 || missing+=("$d")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing Debian packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
