#!/bin/sh
# Print the path of the first interpreter found among the versions given
# (newest first, e.g. `find_python.sh 3.13 3.12 3.11`); print nothing and fail
# when there is none. Looks at pythonX.Y and python3 on PATH, then at pyenv's
# installs, which are often not on PATH (or on it only as shims that refuse to
# run a version that is not selected).
runs_as() {  # runs_as <command> <X.Y>: the command starts and is that version
  [ -n "$1" ] && "$1" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$2')" >/dev/null 2>&1
}
for v in "$@"; do
  for c in "$(command -v "python$v" 2>/dev/null)" "$(command -v python3 2>/dev/null)"; do
    if runs_as "$c" "$v"; then echo "$c"; exit 0; fi
  done
  if command -v pyenv >/dev/null 2>&1; then
    c="$(pyenv which "python$v" 2>/dev/null)"
    if runs_as "$c" "$v"; then echo "$c"; exit 0; fi
    prefix="$(pyenv prefix "$v" 2>/dev/null)"
    if runs_as "$prefix/bin/python$v" "$v"; then echo "$prefix/bin/python$v"; exit 0; fi
    # The newest patch release installed (pyenv prefix may want an exact one).
    root="$(pyenv root 2>/dev/null)"
    for c in $(ls -d "$root/versions/$v".* 2>/dev/null | sort -V -r); do
      if runs_as "$c/bin/python$v" "$v"; then echo "$c/bin/python$v"; exit 0; fi
    done
  fi
done
exit 1
