# Cross toolchain for the EFI build: clang++-14 targeting x86-64 PE/COFF,
# linked by lld-link into an EFI application. Freestanding: no C runtime.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_LINKER lld-link-14)
# Nothing can be linked without our own entry point: check the compiler only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_CXX_OUTPUT_EXTENSION .obj)
set(CMAKE_C_OUTPUT_EXTENSION .obj)
set(CMAKE_EXECUTABLE_SUFFIX .efi)
set(CMAKE_CXX_LINK_EXECUTABLE "${CMAKE_LINKER} <LINK_FLAGS> <OBJECTS> <LINK_LIBRARIES> -out:<TARGET>")
