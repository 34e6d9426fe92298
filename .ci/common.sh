# Sourced by the CI scripts.

# Runs a command as root: directly when this is root, else through sudo.
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
