"""End-to-end test of the native build: python3 test_linux.py PATH/TO/whirlet"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

if __name__ == "__main__":
    sys.exit(harness.main(harness.LINUX))
