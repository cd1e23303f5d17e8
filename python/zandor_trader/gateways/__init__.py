"""Gateways connect the engine to brokers; BaseGateway is what every gateway offers."""


class BaseGateway:
    """A broker connection: receives market data, order updates and deals for the engine."""

    def __init__(self, gateway_name: str):
        self.gateway_name = gateway_name

    def process_quote(self, quote):
        raise NotImplementedError

    def process_orderbook(self, orderbook):
        raise NotImplementedError

    def process_order(self, update):
        raise NotImplementedError

    def process_deal(self, deal):
        raise NotImplementedError
