# Shared set-up of the benchmark scripts (sourced, not run): builds the
# release tree, and makes a random image of $1 MiB in a temporary directory
# that is removed on exit. Sets: work, image, size, sha, and now().

command -v openssl >/dev/null || { echo "openssl is needed" >&2; exit 1; }
# BENCH_BUILD=0 measures the release tree as it is, without building it.
if [[ ${BENCH_BUILD:-1} != 0 ]]; then
  cmake --preset release >/dev/null
  cmake --build --preset release >/dev/null
fi

work=$(mktemp -d /tmp/kelmar_vindle_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
image=$work/image.img
size=$(($1 * 1048576))
head -c "$size" /dev/urandom >"$image"
sha=$(openssl dgst -sha256 -r "$image" | cut -d' ' -f1)

now() { date +%s%N; }
