# The two commands of a newcomer:
#   make run   builds the release program directory (build/bin) and runs the
#              engine's main job on the bundled example
#   make test  builds everything under the sanitizers and runs every test
# plus `make bench` for the performance figures (release build).
JOBS ?= 2

.PHONY: all deps test-deps release run test bench clean

all: release

deps:
	@tools/install-deps.sh

test-deps:
	@tools/install-deps.sh --test

release: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DMRV_TESTS=OFF
	cmake --build build -j$(JOBS)

run: release
	tools/run-example.sh build/bin

test: test-deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DMRV_SANITIZE=ON -DMRV_WERROR=ON -DMRV_TESTS=ON -DMRV_BENCHMARKS=OFF
	cmake --build build-test -j$(JOBS)
	cd build-test && ctest --output-on-failure -j$(JOBS)

bench: test-deps release
	@for b in build/bench/*; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build build-test
