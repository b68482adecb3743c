#!/usr/bin/env bash
# Two more builds of Tamsork.efi from copies of the source tree, in folders
# whose paths differ in name and depth, built as a fresh checkout would be
# (`cmake --preset efi`). All three images (the two and the build under
# test) must be the same bytes, each Tamsork.efi.sha256 must match its
# image, and no folder of any build may appear in an image.
#
#   reproducible_test.sh SOURCE_DIR EFI_BUILD_DIR SCRATCH_DIR
set -euo pipefail

source_dir=$1
reference=$2/Tamsork.efi
scratch=$3

fail() {
  echo "FAIL: $*"
  exit 1
}

[ -f "$reference" ] || fail "$reference missing; run make efi"
rm -rf "$scratch"
copies=("$scratch/one/tamsork" "$scratch/two/a/deeper/checkout-of-tamsork")
for copy in "${copies[@]}"; do
  mkdir -p "$copy"
  tar -C "$source_dir" -cf - CMakeLists.txt CMakePresets.json cmake efi kit app | tar -C "$copy" -xf -
  (cd "$copy" && cmake --preset efi >/dev/null && cmake --build build/efi --target Tamsork -j 2 >/dev/null) ||
    fail "the build in $copy failed"
done

status=0
for image in "$reference" "${copies[@]/%//build/efi/Tamsork.efi}"; do
  (cd "$(dirname "$image")" && sha256sum --quiet -c Tamsork.efi.sha256) || { echo "FAIL: $image.sha256"; status=1; }
  if ! cmp "$reference" "$image"; then
    echo "FAIL: $image differs from $reference"
    status=1
  fi
  for folder in "$source_dir" "$scratch" "$(dirname "$image")"; do
    if grep -qF "$folder" "$image"; then
      echo "FAIL: $image holds the path $folder"
      status=1
    fi
  done
done
[ $status -eq 0 ] && echo "three builds, one image: $(cut -d ' ' -f 1 "$reference.sha256")"
exit $status
