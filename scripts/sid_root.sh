#!/usr/bin/env bash
# The Debian unstable root (CPython 3.14 and 3.15, redis-server 8): scripts/debian_root.sh sid.
#   bash scripts/sid_root.sh              # make the root unless it is there
#   bash scripts/sid_root.sh run CMD...   # run CMD inside it, in the current directory
exec bash "$(dirname "${BASH_SOURCE[0]}")/debian_root.sh" sid "$@"
