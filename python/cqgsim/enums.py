"""The component's type library: its identity and its enumeration constants, grouped by
enumeration. constants.py gives each constant its own name, generated from these tables
(``python -m cqgsim.enums`` writes it again after a change here)."""

TYPELIB_ID = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}"
TYPELIB_VERSION = (4, 0)
PROGID = "CQG.CQGCEL.4"

INVALID_VALUE = -2147483648  # a numeric field that has no value

ENUMS = {
    "eConnectionStatus": {
        "csConnectionUp": 1, "csConnectionDown": 2, "csConnectionDelayed": 3,
        "csConnectionTrouble": 4, "csConnectionNotLoggedOn": 5,
    },
    "eTimeZone": {
        "tzCentral": 0, "tzEastern": 1, "tzMountain": 2, "tzPacific": 3, "tzGreenwich": 4,
        "tzChina": 5, "tzHongKong": 6, "tzJapan": 7, "tzSingapore": 8,
    },
    "eQuoteType": {
        "qtTrade": 0, "qtBid": 1, "qtAsk": 2, "qtSettlement": 3, "qtDayOpen": 4,
        "qtDayHigh": 5, "qtDayLow": 6, "qtYesterdaySettlement": 7, "qtIndicativeOpen": 8,
        "qtMarker": 9, "qtTodayMarker": 10, "qtOutrightBid": 11, "qtOutrightAsk": 12,
        "qtImpliedBid": 13, "qtImpliedAsk": 14, "qtCohUndBid": 15, "qtCohUndAsk": 16,
    },
    "eDataSubscriptionLevel": {
        "dsNone": 0, "dsQuotes": 1, "dsQuotesAndBBA": 2, "dsQuotesAndDOM": 3,
    },
    "eTicksRequestType": {
        "trtCurrentNotify": 0, "trtSinceTimeNotify": 1, "trtTimeRange": 2,
    },
    "eTicksFilter": {"tfAll": 0, "tfTrades": 1, "tfBBA": 2},
    "eTickPriceType": {"tptAsk": 0, "tptBid": 1, "tptTrade": 2, "tptSettlement": 3},
    "eHistoricalPeriod": {"hpDaily": 0, "hpWeekly": 1, "hpMonthly": 2},
    "eIntradayPeriod": {  # the value is the bar length in minutes
        "pfds1Min": 1, "pfds2Min": 2, "pfds3Min": 3, "pfds5Min": 5, "pfds10Min": 10,
        "pfds15Min": 15, "pfds30Min": 30, "pfds60Min": 60,
    },
    "eDailyBarClose": {
        "dbcLastQuote": 0, "dbcLastQuoteOrSettlement": 1, "dbcSettlement": 2,
    },
    "eTimedBarsRequestOutputs": {
        "tbrActualVolume": 1, "tbrTickVolume": 2, "tbrContractVolume": 3,
        "tbrCommodityVolume": 4, "tbrOpenInterest": 5,
    },
    "eAccountSubscriptionLevel": {"aslNone": 0, "aslAccountUpdatesAndOrders": 1},
    "ePositionSubscriptionLevel": {
        "pslNoPositions": 0, "pslSnapshot": 1, "pslSnapshotAndUpdates": 2,
    },
    "eAccountChangeType": {
        "actAccountChanged": 0, "actAccountsReloaded": 1, "actPositionsReloaded": 2,
        "actPositionAdded": 3, "actPositionChanged": 4,
    },
    "eOrderType": {"otMarket": 1, "otLimit": 2, "otStop": 3, "otStopLimit": 4},
    "eOrderSide": {"osdUndefined": 0, "osdBuy": 1, "osdSell": 2},
    "eOrderStatus": {
        "osNotSent": 0, "osInClient": 1, "osInTransit": 2, "osRejectGW": 3,
        "osInOrderBook": 4, "osRejectFCM": 5, "osFilled": 6, "osCanceled": 7,
        "osInCancel": 8, "osInModify": 9, "osDisconnected": 10, "osBusted": 11,
        "osActiveAt": 12, "osContingent": 13, "osExpired": 14, "osInTransitTimeout": 15,
        "osParked": 16,
    },
    "eOrderProperty": {
        "opGUID": 1, "opGWStatus": 2, "opEventServerTimestamp": 3, "opAverageFillPrice": 4,
        "opFilledQuantity": 5, "opQuantity": 6, "opSide": 7, "opOrderType": 8,
        "opLimitPrice": 9, "opStopPrice": 10, "opInstrumentName": 11, "opGWAccountID": 12,
        "opPlaceTime": 13, "opRemainingQuantity": 14,
    },
    "eChangeType": {"ctAdded": 1, "ctChanged": 2, "ctRemoved": 3},
    "eFillStatus": {"fsNormal": 0, "fsCanceled": 1, "fsModified": 2, "fsBusted": 3},
    "eReadyStatusCheck": {"rscOff": 0, "rscOn": 1},
}

# Every constant by name, as the type library publishes them.
ALL = {name: value for enum in ENUMS.values() for name, value in enum.items()}
assert len(ALL) == sum(len(e) for e in ENUMS.values()), "a constant is defined twice"

FINAL_STATUSES = frozenset({
    ALL["osFilled"], ALL["osCanceled"], ALL["osRejectGW"], ALL["osRejectFCM"],
    ALL["osExpired"], ALL["osBusted"], ALL["osDisconnected"], ALL["osInTransitTimeout"],
})


def render_constants() -> str:
    """The text of constants.py: every constant by name, for the simulator's code and for
    type checkers, with the tables re-exported."""
    lines = [
        '"""The component\'s constants by name (generated from enums.py by `python -m',
        'cqgsim.enums`; edit the tables there, never this file)."""',
        "from typing import Final",
        "",
        "from cqgsim.enums import (ALL, ENUMS, FINAL_STATUSES, INVALID_VALUE, PROGID, TYPELIB_ID,",
        "                          TYPELIB_VERSION)",
    ]
    for enum, members in ENUMS.items():
        lines += ["", f"# {enum}"]
        lines += [f"{name}: Final = {value}" for name, value in members.items()]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    import pathlib

    target = pathlib.Path(__file__).with_name("constants.py")
    target.write_text(render_constants())
    print(f"wrote {target}")
