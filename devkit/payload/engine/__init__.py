"""The desk's engine: the console server, its passphrase and the pairing client."""
