"""The operator's Telegram bot (compiled module ``bot``; importing it starts polling)."""
