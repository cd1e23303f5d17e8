"""Run by the paper store's tests as a child process: trades on the paper store named on the
command line and, in the handler of the first fill's event, prints the fill's id and kills
its own process with SIGKILL (nothing after the event can have saved the fill).

    python -m tests.cqgsim.paper_child STORE
"""
import os
import signal
import sys

import cqgsim
from cqgsim import constants as C
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots
from tests.cqgsim.test_orders import Desk


class KilledOnFill(Snapshots):
    def OnOrderChanged(self, change, order, old, fill, error):
        if fill is not None:
            print(f"FILL {fill.Id} {order.GUID}", flush=True)
            os.kill(os.getpid(), signal.SIGKILL)


def main(store: str) -> int:
    cqgsim.configure(paper_store=store)
    with ComponentHost(KilledOnFill) as host:
        desk = Desk(host)
        desk.order(C.otMarket, 2, C.osdBuy).Place()
        host.sink.wait_for("never raised", timeout=30)  # the process ends before
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
