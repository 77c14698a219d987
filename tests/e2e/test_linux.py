"""End-to-end checks of the native program: python3 test_linux.py PROGRAM [PYTEST OPTIONS]"""

import sys

import harness
from checks import *  # noqa: F401,F403 (the shared checks, collected here)

if __name__ == "__main__":
    sys.exit(harness.main(__file__, sys.argv))
