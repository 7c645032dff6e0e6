#!/usr/bin/env bash
# Installs the Debian packages the build needs when the machine lacks them.
#   tools/install-deps.sh          what `make run` needs: compiler, CMake,
#                                  Boost.Context (task fibers), and for the
#                                  drawing stand-in FreeType, fontconfig,
#                                  libpng and a Japanese font (IPA Gothic)
#   tools/install-deps.sh --test   also what tests and benchmarks need:
#                                  GoogleTest, GoogleMock, Google Benchmark,
#                                  Lua 5.4 (the interpreter's benchmark peer)
set -euo pipefail
with_tests=0
[ "${1:-}" = "--test" ] && with_tests=1
missing=()
# A CMake package config file, wherever Debian or a local install put it.
have_config() {
  [ -n "$(find /usr/lib /usr/local/lib /usr/share -name "$1" -print -quit 2>/dev/null)" ]
}
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
[ -e /usr/include/boost/context/fiber.hpp ] || missing+=(libboost-context-dev)
command -v pkg-config >/dev/null || missing+=(pkg-config)
[ -e /usr/include/freetype2/ft2build.h ] || missing+=(libfreetype-dev)
[ -e /usr/include/fontconfig/fontconfig.h ] || missing+=(libfontconfig-dev)
[ -e /usr/include/png.h ] || missing+=(libpng-dev)
[ -e /usr/share/fonts/opentype/ipafont-gothic/ipag.ttf ] || missing+=(fonts-ipafont-gothic)
if [ $with_tests -eq 1 ]; then
  have_config GTestConfig.cmake || missing+=(libgtest-dev)
  [ -e /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
  have_config benchmarkConfig.cmake || missing+=(libbenchmark-dev)
  [ -e /usr/include/lua5.4/lua.h ] || missing+=(liblua5.4-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
