"""zandor_trader: the host application's stand-in around the CQG gateway modules and the operator bot.

One package per concern: `core` (records, enumerations, helpers), `gateways` (`BaseGateway`;
the CQG gateway with the system modules `Ambrel` and `vantor`), `trading` (the engine, its
request handlers, pre-trade checks, the trade log), `chat` (the operator's chat: requests in,
answers out), `console` (the live display and the keyboard), `plugins.telegram` (the operator
bot module) and `app` (settings, the command line and the session, which wires the others).
Trading depends on the records only; the chat on trading; the console on trading and the
chat; the application on all of them.
"""
