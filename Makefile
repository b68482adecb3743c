# Entry points. The real build is CMake (see CMakePresets.json).
.PHONY: all bootstrap efi host test bench clean

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

clean:
	rm -rf build
