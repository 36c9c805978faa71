# The two commands of the README, `make demo` and `make test`, and `make dist`,
# the release archive for host developers.
.PHONY: all bootstrap configure build test demo dist bench clean

all: build

bootstrap:
	scripts/bootstrap.sh

configure: bootstrap
	cmake --preset mingw >/dev/null

build: configure
	cmake --build --preset mingw

test: build
	ctest --preset mingw
	@scripts/test-share.sh

demo: build
	scripts/demo.sh

dist: build
	cmake --build --preset mingw --target dist

clean:
	rm -rf build

bench: build
	bench/run.sh
