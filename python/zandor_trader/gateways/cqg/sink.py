"""The adapter as the gateway hosts it: the component's events handled as the adapter does,
then the connection changes, refused instruments and orders added at the broker told to the
gateway (the adapter reports an order it did not place only once it changes), before an
order's rejection the broker's reason for it, and changes of orders the broker refused (a
cancel)."""


def sink_type(gateway):
    """A subclass of the adapter whose handlers also tell `gateway` (a CqgGateway)."""
    import win32com.client
    from zandor_trader.gateways.cqg.wrapper import vantor

    def states():
        c = win32com.client.constants
        return {c.csConnectionUp: True, c.csConnectionDown: False}

    def rejection(order):
        """(GUID, the broker's reason) of a rejected order (wrapped), else None."""
        c = win32com.client.constants
        try:
            if order is None or order.GWStatus not in (c.osRejectGW, c.osRejectFCM):
                return None
            reason = str(order.RejectReason or "").strip()
            return (str(order.GUID), reason) if reason else None
        except Exception:  # no reason to be had: the rejection is still reported without one
            return None

    class GatewaySink(vantor.Vantor):
        def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
            order = win32com.client.Dispatch(cqgOrder) if cqgOrder is not None else None
            # Read here, on the component's thread while the order is at hand, and told first:
            # the adapter's handler reports the rejection to the gateway.
            found = rejection(order) if cqgError is None else None
            if found is not None:
                gateway.order_rejected(*found)
            super().OnOrderChanged(changeType, cqgOrder, oldProperties, cqgFill, cqgError)
            if order is None:
                return
            # Also one added with an error: the broker has it, rejected.
            if changeType == win32com.client.constants.ctAdded:
                gateway.order_seen(str(order.GUID))
            elif cqgError is not None:  # a change refused: a cancel too late, say
                gateway.change_refused(str(order.GUID),
                                       str(win32com.client.Dispatch(cqgError).Description))

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
