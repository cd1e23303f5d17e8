"""The adapter as the gateway hosts it: the component's events handled as the adapter does,
then the connection changes and refused instruments told to the gateway, and before an
order's rejection the broker's reason for it."""


def sink_type(gateway):
    """A subclass of the adapter whose handlers also tell `gateway` (a CqgGateway)."""
    import win32com.client
    from zandor_trader.gateways.cqg.wrapper import vantor

    def states():
        c = win32com.client.constants
        return {c.csConnectionUp: True, c.csConnectionDown: False}

    def rejection(cqg_order):
        """(GUID, the broker's reason) of a rejected order, else None."""
        c = win32com.client.constants
        try:
            order = win32com.client.Dispatch(cqg_order)
            if order.GWStatus not in (c.osRejectGW, c.osRejectFCM):
                return None
            return str(order.GUID), str(order.RejectReason)
        except Exception:  # no reason to be had: the rejection is still reported without one
            return None

    class GatewaySink(vantor.Vantor):
        def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
            # Told first: the adapter's handler reports the rejection to the gateway.
            found = rejection(cqgOrder) if cqgError is None else None
            if found is not None:
                gateway.order_rejected(*found)
            super().OnOrderChanged(changeType, cqgOrder, oldProperties, cqgFill, cqgError)

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

    return GatewaySink
