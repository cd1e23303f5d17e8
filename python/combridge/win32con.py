"""Stand-in for win32con: the message numbers the system uses."""
WM_QUIT = 0x0012
WM_USER = 0x0400
