#!/usr/bin/env python3
"""Rewrites the sample logs under samples/ (see support/mf4writer/samples.py).

    python3 tests/support/make_samples.py [DIR]
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(
    __file__))))

from support.mf4writer.samples import main  # noqa: E402

if __name__ == "__main__":
    main()
