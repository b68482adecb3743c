# Run after each link of Tamsork.efi (cmake -P, in the build folder):
# writes Tamsork.efi.sha256 in sha256sum's format, so that a copy can be
# checked with `sha256sum -c Tamsork.efi.sha256` beside it, and holds the
# image to its size budget.
set(IMAGE Tamsork.efi)
set(SIZE_LIMIT 40960)

file(SHA256 ${IMAGE} HASH)
file(WRITE ${IMAGE}.sha256 "${HASH}  ${IMAGE}\n")
file(SIZE ${IMAGE} SIZE)
if(SIZE GREATER SIZE_LIMIT)
  message(FATAL_ERROR "${IMAGE} is ${SIZE} bytes, over its budget of ${SIZE_LIMIT} (40 KiB)")
endif()
