"""The session's charts: /chart drawn on a thread of its own (which builds the plotting
library's caches while the session starts), and the daily summary's P&L curve by the same
thread, each picture sent as a photo through the bot's client in the outbox's turn, paced with
the other messages, and saved beside the transcript when there is one."""
from typing import TYPE_CHECKING, Callable, Dict, Optional, Sequence

if TYPE_CHECKING:
    from zandor_trader.charts import Charts
    from zandor_trader.chat import Outbox
    from zandor_trader.console import Transcript
    from zandor_trader.plugins.telegram.bot import TelegramBot
    from zandor_trader.trading import Engine, Request


def chart_command(submit: Callable[["Request"], None]
                  ) -> Dict[str, Callable[[Sequence[str]], None]]:
    """/chart as the session's own command: a request for the engine (`submit`: the way in to
    it), served in turn."""
    from zandor_trader.trading import Request

    return {"chart": lambda words: submit(Request("chart", {"args": tuple(words)}))}


def start_charts(gateway, bot: "TelegramBot", chat_id: int, outbox: "Outbox", engine: "Engine",
                 transcript: Optional["Transcript"], redact: Callable[[str], str],
                 log: Callable[[str], None]) -> "Charts":
    """The running charts, serving the engine's chart requests and drawing its daily P&L
    curves."""
    from zandor_trader.charts import Charts
    from zandor_trader.charts.pnl import day_curve

    def send(photo):
        # The library sets Updater.bot in its constructor in a way mypy cannot type.
        client = bot.updater.bot  # type: ignore[has-type]
        return bot.send_paced(lambda: client.send_photo(
            chat_id, photo=photo.png, caption=redact(photo.caption),
            filename=photo.file or "chart.png"), chat_id)

    def deliver(photo):
        outbox.put(f"[{photo.label}]", send=lambda: send(photo))

    save = transcript.keep_picture if transcript is not None else None
    charts = Charts(gateway, deliver, outbox.put, save=save, log=log).start()
    engine.add_handler("chart", charts.serve)
    if engine.daily is not None:
        engine.daily.picture = lambda day, points: charts.draw(day_curve(day, points))
    return charts
