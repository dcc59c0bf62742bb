# Which architecture the commands build for and run under Wine; sourced by
# scripts/test.sh, scripts/run.sh and bench/run.sh after scripts/setup.sh.
# Some kernels execute 64-bit user code only ("IA-32 emulation off"): every
# i386 program fails there with "Exec format error", 32-bit Wine among them,
# and only the x86-64 build can be run and tested. TEST_ARCH=i686 or x86_64
# forces one architecture.

# True when this host executes 32-bit x86 programs. The check runs one (the
# 32-bit Wine server that scripts/setup.sh installs); exit status 126 is the
# kernel's refusal.
host_runs_i386() {
  /usr/lib/wine/wineserver32 --version >/dev/null 2>&1
}

# The build tree of an architecture: build/ for the shipped i686 program,
# build-x86_64/ beside it (BUILD_DIR moves both).
tree_of() {
  local base=${BUILD_DIR:-build}
  if [ "$1" = i686 ]; then echo "$base"; else echo "$base-x86_64"; fi
}

preset_of() {
  if [ "$1" = i686 ]; then echo default; else echo x86_64; fi
}

# Sets arches to the architectures to run, or fails at once with the reason
# when TEST_ARCH asks for one this host cannot run. $1 names the caller in
# its messages; $2 is "all" to run every architecture the host can (the
# tests), or "one" for just the first of them (the program, the benchmarks).
choose_arches() {
  local who=$1 how=$2 runs32=0
  host_runs_i386 && runs32=1
  case "${TEST_ARCH:-}" in
    "")
      if [ $runs32 -eq 1 ]; then
        if [ "$how" = all ]; then
          arches="i686 x86_64"
          echo "$who: this host runs 32-bit code: i686 (the program we ship) in a 32-bit prefix, then x86_64 in a 64-bit one"
        else
          arches="i686"
          echo "$who: this host runs 32-bit code: i686 (the program we ship) in a 32-bit prefix"
        fi
      else
        arches="x86_64"
        echo "$who: this host cannot execute 32-bit code (IA-32 emulation off): x86_64 in a 64-bit prefix"
      fi ;;
    i686)
      if [ $runs32 -eq 0 ]; then
        echo "$who: TEST_ARCH=i686, but this host cannot execute 32-bit code (IA-32 emulation off:" \
             "/usr/lib/wine/wineserver32 does not start); use TEST_ARCH=x86_64 or leave it unset" >&2
        return 1
      fi
      arches="i686"
      echo "$who: TEST_ARCH=i686: i686 in a 32-bit prefix" ;;
    x86_64)
      arches="x86_64"
      echo "$who: TEST_ARCH=x86_64: x86_64 in a 64-bit prefix" ;;
    *)
      echo "$who: TEST_ARCH must be i686 or x86_64, not '$TEST_ARCH'" >&2
      return 1 ;;
  esac
}
