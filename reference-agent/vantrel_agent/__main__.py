import sys

from .agent import main

sys.exit(main(sys.argv[1:]))
