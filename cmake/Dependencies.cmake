# All dependencies are Debian 12 packages; `make deps` installs them.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(GTest REQUIRED)
# CapnProtoConfig probes libatomic with a C test, which fails in this C++-only project; GCC
# ships libatomic, so the answer is known.
set(FOUND_LIBATOMIC TRUE CACHE INTERNAL "libatomic comes with GCC")
find_package(CapnProto REQUIRED)
# Code generated from the wire schemas, laid out like the repository.
set(TALVARO_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TALVARO_GENERATED_DIR})
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
if(TALVARO_BENCH)
  find_package(benchmark REQUIRED)
endif()
