"""What every picture shares: a matplotlib figure drawn on the Agg canvas (no pyplot, whose
global state is not for threads), saved as PNG bytes, and the library's caches built ahead.

The first use of matplotlib on a machine builds its font cache, which can take long where many
fonts are installed; `warm_up` does it (and loads the fonts a chart uses) before any request.
"""
import io
from typing import TYPE_CHECKING, Tuple

if TYPE_CHECKING:
    from matplotlib.figure import Figure

SIZE = (10.0, 6.0)  # inches at DPI: 1000x600 pixels, well inside Telegram's photo limits
DPI = 100
UP, DOWN = "#26a69a", "#ef5350"  # rising and falling bars; buys and sells
NEUTRAL, GRID, FAINT = "#37474f", "#eceff1", "#90a4ae"


def figure(size: Tuple[float, float] = SIZE) -> "Figure":
    from matplotlib.figure import Figure

    return Figure(figsize=size, dpi=DPI, layout="constrained")


def png(fig: "Figure") -> bytes:
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    FigureCanvasAgg(fig)
    out = io.BytesIO()
    fig.savefig(out, format="png", dpi=DPI)
    return out.getvalue()


def warm_up() -> None:
    """Builds matplotlib's caches (fonts) and draws a small picture with the fonts the charts
    use, so that the first chart is drawn as fast as the next ones."""
    fig = figure((2.0, 1.0))
    ax = fig.add_subplot()
    ax.plot([0, 1], [0, 1])
    ax.set_title("warm-up", loc="left", fontweight="bold")
    png(fig)
