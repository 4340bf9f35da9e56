# Sourced by the scripts: the Python they install into, build with and test.
#
# An active virtual environment is used as it is; otherwise python3, when it
# can `pip install`; otherwise the repository's own virtual environment
# .venv/, which scripts/setup makes, since Debian's python3 refuses pip
# outside one ("externally-managed-environment") or has no pip at all.

KAVRI_VENV=$(pwd)/.venv

# Whether this Python's pip would install into it: a virtual environment
# always lets it; elsewhere pip refuses where the stdlib carries the
# EXTERNALLY-MANAGED marker.
KAVRI_CAN_PIP='
import importlib.util, os, sys, sysconfig
in_venv = sys.prefix != sys.base_prefix
marked = os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED"))
sys.exit(0 if importlib.util.find_spec("pip") and (in_venv or not marked) else 1)
'

# Prints the interpreter to use: a path, or "python3".
kavri_python() {
  if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
    echo "$VIRTUAL_ENV/bin/python"
  elif command -v python3 >/dev/null 2>&1 && python3 -c "$KAVRI_CAN_PIP" 2>/dev/null; then
    echo python3
  else
    echo "$KAVRI_VENV/bin/python"
  fi
}
