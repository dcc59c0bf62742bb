# Sourced by the bench commands: sets up as the other commands do, picks the
# architecture (the i686 program where this host runs 32-bit code, else the
# x86-64 one; TEST_ARCH=i686 or x86_64 picks one), builds the targets named and
# makes a fresh prefix with the virtual device. Sets arch, build and prefix.
#   source bench/prepare.sh COMMAND_NAME PREFIX_NAME TARGET...
who=$1 prefix_name=$2
shift 2
if [ "$(id -u)" -eq 0 ]; then bash scripts/setup.sh; else bash scripts/setup.sh || exit 1; fi
source scripts/arch.sh
choose_arches "$who" one
arch=$arches
build=$(tree_of "$arch")
cmake --preset "$(preset_of "$arch")" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "$@" hidsim hidsimbus hidsimhid
prefix="$build/$prefix_name"
# Every removed device stays registered in a prefix and slows later plugs: start clean.
WINEPREFIX="$(realpath -m "$prefix")" wineserver -k 2>/dev/null || true
rm -rf "$prefix" "$prefix.lock"
bash tools/hidsim/make_prefix.sh "$build/wine-run.sh" "$prefix" "$build/tools/hidsim/hidsim.exe"
