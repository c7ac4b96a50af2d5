#!/usr/bin/env python3
"""The whole end-to-end suite: every test_*.py beside it but the page's and the plant database's
(test_page.py, test_plant.py: suites of their own), spread over E2E_JOBS processes as harness.main spreads one file's tests."""
import glob
import importlib
import os

import harness

if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    names = sorted(os.path.basename(path)[:-3] for path in glob.glob(os.path.join(here, "test_*.py")))
    harness.main([importlib.import_module(name) for name in names if name not in ("test_page", "test_plant")])
