"""Stand-in for the win32com package."""
