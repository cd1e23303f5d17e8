"""The adapter as the gateway hosts it: the component's events handled as the adapter does,
then the connection changes, refused instruments, orders added at the broker (the adapter
reports an order it did not place only once it changes) and changes of orders the broker
refused (a cancel) told to the gateway."""


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
            if cqgOrder is None:
                return
            guid = str(win32com.client.Dispatch(cqgOrder).GUID)
            # Also one added with an error: the broker has it, rejected.
            if changeType == win32com.client.constants.ctAdded:
                gateway.order_seen(guid)
            elif cqgError is not None:  # a change refused: a cancel too late, say
                gateway.change_refused(guid, str(win32com.client.Dispatch(cqgError).Description))

    return GatewaySink
