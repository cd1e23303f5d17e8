"""The component's constants by name (generated from enums.py by `python -m
cqgsim.enums`; edit the tables there, never this file)."""
from typing import Final

from cqgsim.enums import (ALL, ENUMS, FINAL_STATUSES, INVALID_VALUE, PROGID, TYPELIB_ID,
                          TYPELIB_VERSION)

# eConnectionStatus
csConnectionUp: Final = 1
csConnectionDown: Final = 2
csConnectionDelayed: Final = 3
csConnectionTrouble: Final = 4
csConnectionNotLoggedOn: Final = 5

# eTimeZone
tzCentral: Final = 0
tzEastern: Final = 1
tzMountain: Final = 2
tzPacific: Final = 3
tzGreenwich: Final = 4
tzChina: Final = 5
tzHongKong: Final = 6
tzJapan: Final = 7
tzSingapore: Final = 8

# eQuoteType
qtTrade: Final = 0
qtBid: Final = 1
qtAsk: Final = 2
qtSettlement: Final = 3
qtDayOpen: Final = 4
qtDayHigh: Final = 5
qtDayLow: Final = 6
qtYesterdaySettlement: Final = 7
qtIndicativeOpen: Final = 8
qtMarker: Final = 9
qtTodayMarker: Final = 10
qtOutrightBid: Final = 11
qtOutrightAsk: Final = 12
qtImpliedBid: Final = 13
qtImpliedAsk: Final = 14
qtCohUndBid: Final = 15
qtCohUndAsk: Final = 16

# eDataSubscriptionLevel
dsNone: Final = 0
dsQuotes: Final = 1
dsQuotesAndBBA: Final = 2
dsQuotesAndDOM: Final = 3

# eTicksRequestType
trtCurrentNotify: Final = 0
trtSinceTimeNotify: Final = 1
trtTimeRange: Final = 2

# eTicksFilter
tfAll: Final = 0
tfTrades: Final = 1
tfBBA: Final = 2

# eTickPriceType
tptAsk: Final = 0
tptBid: Final = 1
tptTrade: Final = 2
tptSettlement: Final = 3

# eHistoricalPeriod
hpDaily: Final = 0
hpWeekly: Final = 1
hpMonthly: Final = 2

# eIntradayPeriod
pfds1Min: Final = 1
pfds2Min: Final = 2
pfds3Min: Final = 3
pfds5Min: Final = 5
pfds10Min: Final = 10
pfds15Min: Final = 15
pfds30Min: Final = 30
pfds60Min: Final = 60

# eDailyBarClose
dbcLastQuote: Final = 0
dbcLastQuoteOrSettlement: Final = 1
dbcSettlement: Final = 2

# eTimedBarsRequestOutputs
tbrActualVolume: Final = 1
tbrTickVolume: Final = 2
tbrContractVolume: Final = 3
tbrCommodityVolume: Final = 4
tbrOpenInterest: Final = 5

# eAccountSubscriptionLevel
aslNone: Final = 0
aslAccountUpdatesAndOrders: Final = 1

# ePositionSubscriptionLevel
pslNoPositions: Final = 0
pslSnapshot: Final = 1
pslSnapshotAndUpdates: Final = 2

# eAccountChangeType
actAccountChanged: Final = 0
actAccountsReloaded: Final = 1
actPositionsReloaded: Final = 2
actPositionAdded: Final = 3
actPositionChanged: Final = 4

# eOrderType
otMarket: Final = 1
otLimit: Final = 2
otStop: Final = 3
otStopLimit: Final = 4

# eOrderSide
osdUndefined: Final = 0
osdBuy: Final = 1
osdSell: Final = 2

# eOrderStatus
osNotSent: Final = 0
osInClient: Final = 1
osInTransit: Final = 2
osRejectGW: Final = 3
osInOrderBook: Final = 4
osRejectFCM: Final = 5
osFilled: Final = 6
osCanceled: Final = 7
osInCancel: Final = 8
osInModify: Final = 9
osDisconnected: Final = 10
osBusted: Final = 11
osActiveAt: Final = 12
osContingent: Final = 13
osExpired: Final = 14
osInTransitTimeout: Final = 15
osParked: Final = 16

# eOrderProperty
opGUID: Final = 1
opGWStatus: Final = 2
opEventServerTimestamp: Final = 3
opAverageFillPrice: Final = 4
opFilledQuantity: Final = 5
opQuantity: Final = 6
opSide: Final = 7
opOrderType: Final = 8
opLimitPrice: Final = 9
opStopPrice: Final = 10
opInstrumentName: Final = 11
opGWAccountID: Final = 12
opPlaceTime: Final = 13
opRemainingQuantity: Final = 14

# eChangeType
ctAdded: Final = 1
ctChanged: Final = 2
ctRemoved: Final = 3

# eFillStatus
fsNormal: Final = 0
fsCanceled: Final = 1
fsModified: Final = 2
fsBusted: Final = 3

# eReadyStatusCheck
rscOff: Final = 0
rscOn: Final = 1
