# Entry points. The real build is CMake (see CMakePresets.json).
MAKEFLAGS += --no-print-directory
.PHONY: all bootstrap efi host test bench clean demo

all: efi host

bootstrap:
	@scripts/bootstrap

efi: bootstrap
	@cmake --preset efi >/dev/null
	@cmake --build --preset efi

host: bootstrap
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: all
	@ctest --preset host

bench: host
	@cmake --build --preset host --target version_marker_bench
	@build/host/bench/version_marker_bench --benchmark_min_time=1

# One normal update of the built Tamsork.efi on the virtual board (OVMF
# under QEMU), shown boot by boot.
demo: bootstrap efi
	@python3 virtual-board/harness/run.py --tamsork build/efi/Tamsork.efi --images build/efi/virtual-board \
		--work build/virtual-board-demo --transcript normal-update

clean:
	rm -rf build
