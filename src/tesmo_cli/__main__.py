"""python -m tesmo_cli runs the tesmo command."""

import sys


def main() -> int:
    print("tesmo: not built yet", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
