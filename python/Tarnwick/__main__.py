"""``python -m Tarnwick``: the command line (see ``Tarnwick.cli``).

The file also serves as the application file for spark-submit:
``spark-submit --master URL .../site-packages/Tarnwick/__main__.py [DATA] [options]``.
"""
import sys

from Tarnwick.cli import main

if __name__ == "__main__":
    sys.exit(main())
