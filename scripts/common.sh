# Shared by the scripts that build: sourced, not run. Expects $top, the source tree.

# ensure_packages [build]: runs scripts/setup (with "build": the build list alone) when a package
# of its lists is missing.
ensure_packages() {
  local lists=("$top/scripts/packages.txt") pkg
  [ "${1:-}" = build ] || lists+=("$top/scripts/packages-test.txt")
  while read -r pkg; do
    [ -z "$pkg" ] || [[ $pkg == \#* ]] && continue
    if ! dpkg -s "$pkg" >/dev/null 2>&1; then
      echo "== installing missing packages (scripts/setup ${1:-})"
      "$top/scripts/setup" ${1:+"$1"}
      return
    fi
  done < <(cat "${lists[@]}")
}

# A compiler cache speeds up rebuilds where one is installed; nothing needs it.
use_compiler_cache() {
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  fi
}
