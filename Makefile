# The two commands of the README: `make demo` and `make test`.
.PHONY: all bootstrap configure build test demo bench clean

all: build

bootstrap:
	scripts/bootstrap.sh

configure: bootstrap
	cmake --preset mingw >/dev/null

build: configure
	cmake --build --preset mingw

test: build
	ctest --preset mingw

demo: build
	scripts/demo.sh

clean:
	rm -rf build

bench: build
	bench/run.sh
