#!/usr/bin/env bash
# Installs the Debian packages the build needs when the machine lacks them.
#   tools/install-deps.sh          what `make run` needs: compiler, CMake,
#                                  Boost.Context (task fibers), SDL2 with
#                                  SDL2_image and SDL2_mixer (windows,
#                                  pictures, sound), and for the drawing
#                                  stand-in FreeType, fontconfig, libpng and
#                                  a Japanese font (IPA Gothic), and
#                                  nlohmann-json for the language server
#   tools/install-deps.sh --test   also what tests and benchmarks need:
#                                  GoogleTest, GoogleMock, Google Benchmark,
#                                  Lua 5.4 (the interpreter's benchmark peer),
#                                  and for the tests on an X server Xvfb,
#                                  xdotool, xwd, ImageMagick and Xlib, and
#                                  for the VS Code extension's test and
#                                  package Node.js with npm, for the Debian
#                                  packages dpkg-dev and lintian
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
[ -e /usr/include/SDL2/SDL.h ] || missing+=(libsdl2-dev)
[ -e /usr/include/SDL2/SDL_image.h ] || missing+=(libsdl2-image-dev)
[ -e /usr/include/SDL2/SDL_mixer.h ] || missing+=(libsdl2-mixer-dev)
[ -e /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
if [ $with_tests -eq 1 ]; then
  have_config GTestConfig.cmake || missing+=(libgtest-dev)
  [ -e /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
  have_config benchmarkConfig.cmake || missing+=(libbenchmark-dev)
  [ -e /usr/include/lua5.4/lua.h ] || missing+=(liblua5.4-dev)
  command -v lua5.4 >/dev/null || missing+=(lua5.4)
  command -v Xvfb >/dev/null || missing+=(xvfb)
  command -v xdotool >/dev/null || missing+=(xdotool)
  command -v xwd >/dev/null || missing+=(x11-apps)
  # Another program may answer to "convert": only ImageMagick's will do.
  convert -version 2>/dev/null | grep -q "Version: ImageMagick" || missing+=(imagemagick)
  [ -e /usr/include/X11/Xlib.h ] || missing+=(libx11-dev)
  command -v npm >/dev/null || missing+=(npm)
  command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
  command -v lintian >/dev/null || missing+=(lintian)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
