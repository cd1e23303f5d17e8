"""A session on the simulated broker: its live market set up (the seed, where the clock
starts), the failure drills of the operator's /sim commands and the chaos driver of
--sim-chaos.

Drills are run from the session's own threads (the engine's, in turn with the operator's
other requests), never from the component's: the simulation's handle waits for that thread.
The operator's seconds and hours are real ones, the simulator's are its clock's: a session at
--speed X turns N of the operator's seconds into N * X simulated seconds.
"""
import datetime
from functools import partial
from typing import TYPE_CHECKING, Callable, Optional

from zandor_trader.chat.sim_command import SimCommand

if TYPE_CHECKING:
    from cqgsim.chaos import Chaos
    from cqgsim.script import Simulation

    from zandor_trader.app.settings import Settings
    from zandor_trader.chat.sim_command import Drill
    from zandor_trader.gateways.cqg.gateway import CqgGateway


def configure(settings: "Settings", seed: int) -> None:
    """Before the component is made: a live market of `seed`, at the settings' speed, its
    clock from a trading day's opening, its accounts in the settings' paper store (started
    afresh with --paper-reset). Says so in printed lines, so that the run can be repeated."""
    import cqgsim

    print(f"Simulated market seed {seed} (--seed {seed} repeats this market)", flush=True)
    start = session_start(cqgsim.current().start)
    print(start_line(start), flush=True)
    store = settings.paper_store_path()
    if settings.paper_reset:
        print(cqgsim.reset_paper_store(store), flush=True)
    print(cqgsim.describe_paper_store(store), flush=True)
    cqgsim.configure(mode="live", seed=seed, speed=settings.speed, start=start,
                     paper_store=store)


def session_start(configured: datetime.datetime) -> datetime.datetime:
    """The opening of the trading day that `configured` (simulated UTC) belongs to, so that
    a session has a whole trading day ahead before the daily break."""
    from cqgsim import hours

    return hours.day_start(hours.trading_date(configured))


def start_line(start: datetime.datetime) -> str:
    from cqgsim import hours

    return (f"Simulated clock from {hours.local(start):%a %Y-%m-%d %H:%M} Chicago time, a "
            f"trading day's opening (daily break 16:00-17:00, closed from Friday 16:00 to "
            f"Sunday 17:00)")


class SimDrills:
    """The drills of one session. `speed`: simulated seconds per real second; `log` takes
    the trace lines (each drill the chaos driver fires)."""

    def __init__(self, speed: float, gateway: "CqgGateway",
                 log: Callable[[str], None] = print):
        self.speed = speed
        self.gateway = gateway
        self.log = log
        self.sim: Optional["Simulation"] = None
        self.chaos: Optional["Chaos"] = None

    def command(self, answer: Callable[[str], None],
                submit: Callable[[Callable[[], str]], None]) -> SimCommand:
        """The /sim command: its usage errors go to `answer`, each drill to `submit`, which
        has it run in turn with the operator's other requests."""
        return SimCommand(answer, lambda drill: submit(partial(self.run, drill)))

    def attach(self, chaos: float = 0.0) -> None:
        """Once the gateway is up: the simulation of the component it made; with `chaos`,
        its chaos driver started at that rate (see start_chaos)."""
        import cqgsim

        self.sim = cqgsim.latest()
        if chaos:
            self.log(self.start_chaos(chaos))

    # -- the operator's drills (the engine's thread) ---------------------------------------
    def run(self, drill: "Drill") -> str:
        """Does `drill`; returns the operator's answer: what it did, or why not."""
        import cqgsim

        if self.sim is None:
            return "Drill refused: the simulated broker is not running yet."
        try:
            return self._run(self.sim, drill)
        except cqgsim.DrillRefused as exc:
            return f"Drill refused: {exc}."
        except (TimeoutError, RuntimeError) as exc:  # shut down, or its thread did not answer
            return f"Drill not done: {exc}."

    def _run(self, sim: "Simulation", drill: "Drill") -> str:
        import cqgsim

        if drill.kind == "reject":
            return sim.reject_next(drill.reason)
        if drill.kind == "gap":
            return sim.gap(self._symbol(drill.symbol), drill.ticks)
        if not self.speed:
            raise cqgsim.DrillRefused("the simulated clock stands still (--speed 0): the drill "
                                      "would never end")
        simulated = drill.seconds * self.speed
        done = sim.drop_for(drill.link, simulated) if drill.kind == "drop" \
            else sim.hold_next(simulated)
        return f"{done} on the simulated clock ({drill.seconds:g} s of real time at speed " \
               f"{self.speed:g})"

    def _symbol(self, name: str) -> str:
        """The CQG symbol of an instrument of this session, named by its code or symbol."""
        import cqgsim

        security = self.gateway.find_security(name)
        if security is None:
            raise cqgsim.DrillRefused(f"{name} is not traded in this session (instruments: "
                                      f"{', '.join(self.gateway.cqg_symbols)})")
        return self.gateway.get_cqg_symbol_from_qt_security(security)

    # -- the chaos driver ----------------------------------------------------------------
    def start_chaos(self, rate: float) -> str:
        """Drills at random, `rate` an hour of real time on average (seeded by the market's
        seed); each one fired is a trace line. Returns the line that says so."""
        if self.sim is None or not self.speed > 0:
            raise ValueError("chaos drills need the simulated broker running, its clock too "
                             "(--speed above 0)")
        self.chaos = self.sim.start_chaos(rate / self.speed, on_drill=self._fired)
        return (f"Chaos drills: {rate:g} an hour at random (seed {self.sim.config.seed}: "
                f"--seed repeats them), each shown as a trace line")

    def _fired(self, text: str) -> None:  # the driver's thread
        self.log(f"Chaos drill: {text}")

    def stop(self) -> None:
        """Stops the chaos driver (before the component shuts down) and joins its thread."""
        chaos, self.chaos = self.chaos, None
        if chaos is not None:
            chaos.stop()
            self.log(f"Chaos drills fired: {len(chaos.fired())}")
