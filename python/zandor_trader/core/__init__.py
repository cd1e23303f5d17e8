"""Records, enumerations and helpers of the host application."""
