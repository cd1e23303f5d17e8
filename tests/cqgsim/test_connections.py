"""Registration and constants, start-up, logon and logoff, connection changes and shutdown."""
import pathlib
import threading

import comsim
import pytest
import pywintypes
import win32com.client

import cqgsim
from cqgsim import constants as C
from cqgsim import enums
from tests.cqgsim.pump import ComponentHost
from tests.cqgsim.sinks import Snapshots

TYPELIB = "{51F35562-AEB4-4AB3-99E8-AC9666344B64}"

# Every constant the system reads, by enumeration; each group must hold distinct values.
USED = {
    "quote types": "qtAsk qtBid qtCohUndAsk qtCohUndBid qtDayHigh qtDayLow qtDayOpen "
                   "qtImpliedAsk qtImpliedBid qtIndicativeOpen qtMarker qtOutrightAsk "
                   "qtOutrightBid qtSettlement qtTodayMarker qtTrade qtYesterdaySettlement",
    "tick types": "tptAsk tptBid tptSettlement tptTrade",
    "order statuses": "osActiveAt osContingent osInCancel osInClient osInModify osInTransit "
                      "osNotSent osParked osInOrderBook osFilled osBusted osCanceled "
                      "osRejectFCM osRejectGW osDisconnected osExpired osInTransitTimeout",
    "account changes": "actAccountsReloaded actPositionAdded actPositionChanged",
    "changes": "ctAdded ctChanged ctRemoved",
    "sides": "osdBuy osdSell",
    "order types": "otLimit otMarket otStop",
    "order properties": "opGWStatus opGUID opEventServerTimestamp opAverageFillPrice "
                        "opFilledQuantity",
    "connection": "csConnectionUp csConnectionDown",
    "account levels": "aslNone aslAccountUpdatesAndOrders",
    "position levels": "pslSnapshotAndUpdates pslNoPositions",
    "bar outputs": "tbrContractVolume tbrCommodityVolume",
    "single": "tzChina dsQuotesAndBBA trtCurrentNotify tfAll hpDaily pfds1Min "
              "dbcLastQuoteOrSettlement fsNormal",
}


def test_type_library_publishes_every_constant_with_distinct_values():
    win32com.client.gencache.EnsureModule(TYPELIB, 0, 4, 0)
    constants = win32com.client.constants
    for group, names in USED.items():
        values = [getattr(constants, n) for n in names.split()]
        assert values == [C.ALL[n] for n in names.split()]
        if group != "single":
            assert len(set(values)) == len(values), group
    assert len(USED["quote types"].split()) == 17 == len(USED["order statuses"].split())
    with pytest.raises(AttributeError):
        constants.qtNoSuchQuote


def test_named_constants_are_generated_from_the_tables_and_agree_with_them():
    assert pathlib.Path(C.__file__).read_text() == enums.render_constants(), (
        "constants.py is out of date: run python -m cqgsim.enums")
    named = {n: v for n, v in vars(C).items() if n[:1].islower() and isinstance(v, int)}
    assert named == enums.ALL


def test_startup_then_started_and_data_up_and_logon_logoff():
    with ComponentHost(Snapshots) as host:
        host.cel.Startup()
        host.cel.GWLogon("trader", "secret")
        host.cel.GWLogoff()
        host.sim.sync()
        assert host.sink.names() == [
            "OnCELStarted", "OnDataConnectionStatusChanged", "OnGWConnectionStatusChanged",
            "OnGWConnectionStatusChanged"]
        assert host.sink.of("OnDataConnectionStatusChanged") == [(C.csConnectionUp,)]
        assert host.sink.of("OnGWConnectionStatusChanged") == [
            (C.csConnectionUp,), (C.csConnectionDown,)]


def test_refused_credentials_report_the_connection_down():
    cqgsim.configure(credentials={"trader": "secret"})
    with ComponentHost(Snapshots) as host:
        host.cel.Startup()
        host.cel.GWLogon("trader", "wrong")
        host.cel.GWLogon("trader", "secret")
        host.sim.sync()
        assert host.sink.of("OnGWConnectionStatusChanged") == [
            (C.csConnectionDown,), (C.csConnectionUp,)]


def test_calls_before_startup_and_after_shutdown_are_refused():
    with ComponentHost(Snapshots) as host:
        with pytest.raises(pywintypes.com_error) as err:
            host.cel.GWLogon("trader", "secret")
        assert "not started" in err.value.excepinfo[2]
        host.start()
        host.cel.NewInstrument("EPZ5")
        ticks = host.cel.RequestTicks(host.cel.CreateTicksRequest())
        request = host.cel.CreateTimedBarsRequest()
        request.Symbol = "EPZ5"
        bars = host.cel.RequestTimedBars(request)
        host.sim.sync()
        instrument = host.cel.Instruments.Item(0)
        host.cel.Shutdown()
        with pytest.raises(pywintypes.com_error):
            host.cel.NewInstrument("EPZ5")
        for remove, item in ((host.cel.RemoveInstrument, instrument),
                             (host.cel.RemoveTicks, ticks), (host.cel.RemoveTimedBars, bars)):
            with pytest.raises(pywintypes.com_error) as err:
                remove(item)
            assert "shut down" in err.value.excepinfo[2]
        with pytest.raises(RuntimeError):
            host.sim.push_ticks("EPZ5", [("bid", 1.0, 1)])


def test_scripted_startup_error_arrives_as_data_error_instead_of_start():
    with ComponentHost(Snapshots) as host:
        host.sim.respond("Startup", "error", code=7, description="no licence")
        host.cel.Startup()
        host.sim.sync()
        assert host.sink.names() == ["OnDataError"]
        assert host.sink.of("OnDataError") == [((7, "no licence"), "no licence")]


def test_scripted_drops_restores_and_data_errors():
    with ComponentHost(Snapshots) as host:
        host.start()
        host.sink.clear()
        host.sim.drop("gw")
        host.sim.restore("gw")
        host.sim.drop("data")
        host.sim.connection_status("data", "csConnectionDelayed")
        host.sim.data_error(12, "feed lost")
        host.sim.data_error(13, "no object", with_object=False)
        host.sim.sync()
        assert host.sink.of("OnGWConnectionStatusChanged") == [
            (C.csConnectionDown,), (C.csConnectionUp,)]
        assert host.sink.of("OnDataConnectionStatusChanged") == [
            (C.csConnectionDown,), (C.csConnectionDelayed,)]
        assert host.sink.of("OnDataError") == [((12, "feed lost"), "feed lost"),
                                               (None, "no object")]


def test_api_configuration_is_live_and_time_zone_moves_the_clock():
    with ComponentHost(Snapshots) as host:
        config = host.cel.APIConfiguration
        host.cel.APIConfiguration.ReadyStatusCheck = 0
        host.cel.APIConfiguration.CollectionsThrowException = False
        assert config.ReadyStatusCheck == 0 and config.CollectionsThrowException is False
        central = host.cel.LineTime
        host.cel.APIConfiguration.TimeZoneCode = C.tzChina
        assert host.cel.APIConfiguration.TimeZoneCode == C.tzChina
        assert (host.cel.LineTime - central).total_seconds() == 14 * 3600
        with pytest.raises(pywintypes.com_error):
            host.cel.APIConfiguration.TimeZoneCode = 999


def test_live_shutdown_stops_and_joins_the_market_thread():
    cqgsim.configure(mode="live", speed=1000.0)
    with ComponentHost(Snapshots) as host:
        host.start()
        host.sink.wait_for("OnLineTimeChanged", count=3)  # the clock runs by itself
        assert any(t.name == "cqgsim-market" for t in threading.enumerate())
        host.cel.Shutdown()
        assert not any(t.name == "cqgsim-market" for t in threading.enumerate())
        comsim.call(host.sim.component, lambda: None)  # what was queued is delivered
        seen = len(host.sink.events)
        comsim.call(host.sim.component, lambda: None)
        assert len(host.sink.events) == seen
