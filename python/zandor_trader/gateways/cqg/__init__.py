"""The CQG gateway: the host side of the CQG CEL adapter."""
