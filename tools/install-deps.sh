#!/usr/bin/env bash
# Installs the system packages the build needs when the machine lacks them
# (Debian): compiler, CMake, GoogleTest, Google Benchmark, Boost.Context (task
# fibers) and Lua 5.4 (the interpreter's benchmark peer).
set -euo pipefail
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
[ -e /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake ] || [ -e /usr/lib/cmake/GTest/GTestConfig.cmake ] \
  || [ -n "$(find /usr/lib /usr/local/lib -name GTestConfig.cmake -print -quit 2>/dev/null)" ] || missing+=(libgtest-dev libgmock-dev)
[ -n "$(find /usr/lib /usr/local/lib -name benchmarkConfig.cmake -print -quit 2>/dev/null)" ] || missing+=(libbenchmark-dev)
[ -e /usr/include/boost/context/fiber.hpp ] || missing+=(libboost-context-dev)
[ -e /usr/include/lua5.4/lua.h ] || missing+=(liblua5.4-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
