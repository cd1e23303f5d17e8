"""zandor_trader: the host application's stand-in around the CQG gateway modules and the operator bot."""
