import sys

from velbrook.cli import main

sys.exit(main())
