"""Optional plug-ins of the host application."""
