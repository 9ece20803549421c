# Sourced by the benchmark scripts: bench_peers TOOL... installs the
# benchmark group of scripts/packages.txt (scripts/setup.sh bench) when one
# of the tools is missing, since neither the demo nor the tests install the
# peers. A tool may be a command or a path (a header, a library).
bench_peers() {
  local root tool missing=
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  for tool in "$@"; do
    case $tool in
      /*) [ -e "$tool" ] || missing="$missing $tool" ;;
      *) command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || missing="$missing $tool" ;;
    esac
  done
  [ -z "$missing" ] && return 0
  echo "installing the benchmark peers (missing:$missing)" >&2
  "$root/scripts/setup.sh" bench
}
