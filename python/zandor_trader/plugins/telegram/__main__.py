"""Self-test of the operator bot: ``python -m zandor_trader.plugins.telegram``.

An extension module cannot be run with ``python -m`` itself (there is no code object to
run), so this launcher does what running the bot module as the main program does: load it,
which builds ``bot`` and starts polling, send "Yes I am here!" to TELEGRAM_CHAT_ID, close
the bot and print "Closed.".
"""
from zandor_trader.plugins.telegram import bot

bot._self_test()
