"""python -m python_can_brenix_mf4: the `mf4` command."""
import sys

from ._cli import main

sys.exit(main())
