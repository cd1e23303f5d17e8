"""zandor-trader (python -m zandor_trader): the trading session, see zandor_trader.app.cli."""
import sys

from zandor_trader.app.cli import main

if __name__ == "__main__":
    sys.exit(main())
