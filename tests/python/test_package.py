import os
import subprocess
import sys


def test_import_starts_no_threads():
    # The package and its numerical core run on the caller's thread only.
    code = (
        "import kavri\n"
        "with open('/proc/self/status') as f:\n"
        "    print([l.split()[1] for l in f if l.startswith('Threads:')][0])\n"
    )
    env = dict(os.environ, OPENBLAS_NUM_THREADS="4")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == "1"
