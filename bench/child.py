"""The start every measuring child process shares: argv = module dir, old path, new path.

A child runs as `python -c PRELUDE + its own code`, so that what it measures is its own.
"""

PRELUDE = r"""
import sys
sys.path.insert(0, sys.argv[1])
import vorlan

def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

old = open(sys.argv[2], encoding="utf-8").read()
new = open(sys.argv[3], encoding="utf-8").read()
"""
