"""Order ids as the operator writes them: the GUID whole or any unambiguous start of it.

Braces, hyphens and letter case do not matter: "{F3CCA1DE-171C-...}", "f3cca1de" and
"F3CCA1DE171C" all name the same order. An id that starts several orders' ids names none of
them; the caller shows the candidates.
"""
from typing import Iterable, List, Optional, Tuple

CANDIDATES_SHOWN = 5


def normalise(text: str) -> str:
    return text.strip().strip("{}").replace("-", "").upper()


def resolve(text: str, ids: Iterable[str]) -> Tuple[Optional[str], List[str]]:
    """(the id `text` names, []) or (None, the ids it starts: none, or more than one)."""
    wanted = normalise(text)
    if not wanted:
        return None, []
    candidates = []
    for order_id in ids:
        whole = normalise(order_id)
        if whole == wanted:
            return order_id, []
        if whole.startswith(wanted):
            candidates.append(order_id)
    if len(candidates) == 1:
        return candidates[0], []
    return None, candidates


def ambiguous_text(text: str, candidates: List[str]) -> str:
    shown = ", ".join(candidates[:CANDIDATES_SHOWN])
    more = len(candidates) - CANDIDATES_SHOWN
    return (f"{text!r} starts {len(candidates)} order ids: {shown}"
            + (f" and {more} more" if more > 0 else "") + "; give more of the id.")
