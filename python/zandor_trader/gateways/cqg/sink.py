"""The adapter as the gateway hosts it: the component's events handled as the adapter does,
then the connection changes, refused instruments and orders added at the broker told to the
gateway (the adapter reports an order it did not place only once it changes)."""


def sink_type(gateway):
    """A subclass of the adapter whose handlers also tell `gateway` (a CqgGateway)."""
    import win32com.client
    from zandor_trader.gateways.cqg.wrapper import vantor

    def states():
        c = win32com.client.constants
        return {c.csConnectionUp: True, c.csConnectionDown: False}

    class GatewaySink(vantor.Vantor):
        def OnGWConnectionStatusChanged(self, connectionStatus):
            super().OnGWConnectionStatusChanged(connectionStatus)
            gateway.link_changed("gateway", states().get(connectionStatus))

        def OnDataConnectionStatusChanged(self, newStatus):
            super().OnDataConnectionStatusChanged(newStatus)
            gateway.link_changed("data", states().get(newStatus))

        def OnInstrumentResolved(self, symbol, cqgInstrument, cqgError):
            # Told first: the adapter's handler releases the subscribing thread.
            if cqgError is not None:
                error = win32com.client.Dispatch(cqgError)
                gateway.instrument_refused(symbol, str(error.Description))
            super().OnInstrumentResolved(symbol, cqgInstrument, cqgError)

        def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
            super().OnOrderChanged(changeType, cqgOrder, oldProperties, cqgFill, cqgError)
            # Also one added with an error: the broker has it, rejected.
            if changeType == win32com.client.constants.ctAdded and cqgOrder is not None:
                gateway.order_seen(str(win32com.client.Dispatch(cqgOrder).GUID))

    return GatewaySink
